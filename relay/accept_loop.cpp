#include <atomic>
#include <chrono>

#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"

namespace {

// How long an accept loop waits after the process ran out of descriptors or
// buffers, so that it retries without spinning.
constexpr DWORD EXHAUSTION_PAUSE_MS = 100;

// Failures this close together are one episode of exhaustion, reported once:
// while connections end and others wait, accepts succeed and fail in turn.
constexpr std::chrono::seconds EXHAUSTION_EPISODE_GAP{60};

bool is_exhaustion(int code) {
  return code == WSAEMFILE || code == WSAENOBUFS;
}

// Records an exhaustion failure; true for the first of an episode.
bool first_of_exhaustion() {
  using clock = std::chrono::steady_clock;
  static std::atomic<clock::rep> quiet_until{clock::time_point::min().time_since_epoch().count()};
  const clock::time_point now = clock::now();
  const clock::rep until = quiet_until.exchange((now + EXHAUSTION_EPISODE_GAP).time_since_epoch().count());
  return now.time_since_epoch().count() >= until;
}

} // namespace

DWORD bootstrap_r(LPVOID slot) {
  g_task_t *t = static_cast<g_task_t *>(slot);
  if (t->start_r.valid && t->start_r.wait() == 0 && t->start_r.valid && hub::listen)
    t->accept_loop();
  t->exit_reader();
  tls_thread_end();
  return 0;
}

int g_task_t::accept_loop() {
  if (hub::stop)
    return 0;
  for (;;) {
    addr_listen_size = sizeof(addr_listen);
    const SOCKET listener = hub::so_listen.load();
    SOCKET so = winapi::accept(listener, reinterpret_cast<sockaddr *>(&addr_listen), &addr_listen_size);
    if (so != INVALID_SOCKET) {
      serve(so);
    } else {
      const int code = WSAGetLastError();
      if (is_exhaustion(code)) {
        // The connection waits in the backlog until a descriptor or buffer
        // is free again.
        if (first_of_exhaustion())
          report_accept_failure(code);
        Sleep(EXHAUSTION_PAUSE_MS);
      } else if (code != WSAECONNRESET && code != WSAECONNABORTED) {
        if (code == WSAEINTR)
          hub::close_listener();
        if (hub::stop)
          return -1;
        hub::stop = 1;
        running = 0;
        if (hub::so_listen.load() != INVALID_SOCKET)
          report_accept_failure(code);
        return -1;
      }
    }
    if (hub::stop)
      return 0;
  }
}

void g_task_t::report_accept_failure(int code) {
  wprint(L"!! server %02u  accept(so_listen:%i, (sockaddr *) &addr_listen:%08llx, &addr_listen_size:%u)\n", index,
         static_cast<int>(hub::so_listen.load()), reinterpret_cast<unsigned long long>(&addr_listen), addr_listen_size);
  print_error(static_cast<uint32_t>(code), nullptr);
}

void g_task_t::serve(SOCKET so) {
  const int32_t n = hub::active_count.fetch_add(1) + 1;
  connected = 1;
  if (!quiet) {
    const uint8_t *a = reinterpret_cast<const uint8_t *>(&addr_listen.sin_addr);
    wprint(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  so %i  ", a[0], a[1], a[2], a[3],
           ntohs(addr_listen.sin_port), index, n, hub::connections, static_cast<int>(so));
    hub::line_pending = 1;
  }
  accepted_socket_options(so);
  ws.tls.open(so);

  // A stop from outside that ran its pass before the store above missed this
  // connection; it is ended here instead.
  if (!hub::closing) {
    if (set_up() && !hub::closing) {
      const wchar_t *word = ws.tls.ssl ? (ws.upgraded ? L"WSS" : L"TLS") : (ws.upgraded ? L"WS" : L"RAW");
      send_result = 0;
      send_error = 0;
      size_send = 0;
      // Failures seen while detecting must not be taken for the relay's own.
      ws.tls.wsa_error = 0;
      ws.tls.tls_error = 0;
      serial.fetch_add(1);
      active = 1;
      start_w.set();
      // Printed once the client is set up: whoever reads the word may send to it.
      if (!quiet && hub::active_count.load() == n) {
        hub::line_pending = 0;
        wprint(L"%ls\n", word);
      }
      reader_loop();
    }
  }
  end_connection();
}

void g_task_t::end_connection() {
  const int so = static_cast<int>(ws.tls.so_accepted);
  ws.tls.disconnect();
  active = 0;
  connected = 0;
  ws.upgraded = 0;
  pending = 0;
  // The descriptor is closed only once the writer is idle: until then its
  // number cannot be handed to another connection while a send may use it.
  if (send_done.wait() == 0) {
    ws.tls.release_socket();
    send_done.set();
  }
  const int32_t m = hub::active_count.fetch_sub(1) - 1;
  if (!quiet) {
    if (hub::line_pending.exchange(0))
      wprint(L"\n\n");
    wprint(L":: server_%02u.fin  active %02u/%02u  so %i\n", index, m, hub::connections, so);
  }
}
