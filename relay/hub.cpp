#include "relay/hub.h"

#include "relay/g_task.h"

namespace hub {

std::atomic<SOCKET> so_listen{INVALID_SOCKET};
std::atomic<uint8_t> stop{0};
std::atomic<uint8_t> closing{0};
std::atomic<int32_t> active_count{0};
std::atomic<uint8_t> line_pending{0};
uint8_t listen = 0;
uint16_t connections = 0;
uint64_t packet_length = 0;
uint64_t so_buffer_size = 0;
uint64_t stack_size = 0;
g_task_t *tasks = nullptr;
uint32_t slot_counter = 0;
// Defined in this order so that at exit the watcher's record is destroyed
// before the event it waits on.
g_event_t wake;
g_thread_t thread_p;

void close_listener() {
  SOCKET so = so_listen.exchange(INVALID_SOCKET);
  if (so != INVALID_SOCKET) {
    winapi::shutdown(so, SD_BOTH);
    closesocket(so);
  }
}

} // namespace hub

DWORD bootstrap_p(LPVOID slots) {
  g_task_t *first = static_cast<g_task_t *>(slots);
  int result;
  do {
    result = hub::wake.wait();
  } while (first->running && result == 0);
  if (hub::thread_p.valid)
    hub::thread_p.release();
  return 0;
}
