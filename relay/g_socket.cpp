#include "relay/g_socket.h"

#include <clocale>

#include "platform/console.h"
#include "platform/process.h"
#include "relay/hub.h"
#include "shell/console.h"
#include "tls/server_ctx.h"

namespace {

constexpr uint64_t BUFFER_UNIT = 4096;

uint64_t round_up(uint64_t value, uint64_t unit) {
  return (value + unit - 1) / unit * unit;
}

} // namespace

G_SOCKET::G_SOCKET(int argc, wchar_t **argv) {
  ram.page_size = large_page_minimum(&ram.awe);
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  ram.allocation_granularity = info.dwAllocationGranularity;

  configured = 0;
  if (config(argc, argv) != 0)
    return;
  configured = 1;

  _wsetlocale(LC_ALL, L"bg-BG");

  if (packet_length_r == 0 || packet_length_r > ram.page_size)
    packet_length_r = ram.page_size;
  const uint64_t unit = round_up(packet_length_r, BUFFER_UNIT);

  ram.report = 1;
  ram.init((3 * unit * connections + ram.page_size - 1) / ram.page_size);
  if (ram.base == nullptr)
    ExitProcess(1);

  hub::listen = listen;
  hub::stack_size = ram.allocation_granularity;
  hub::tasks = tasks;
  hub::connections = connections;
  hub::packet_length = packet_length_r;
  hub::so_buffer_size = 2 * packet_length_r;

  for (uint32_t i = 0; i < connections; ++i)
    start_slot(i, unit);
  for (uint32_t i = connections; i < SLOT_COUNT; ++i)
    tasks[i].running = 0;

  hub::wake.create(false);
  hub::thread_p.stack_size = hub::stack_size;
  const int code = hub::thread_p.create(bootstrap_p, tasks);
  if (code != 0) {
    print_error(static_cast<uint32_t>(code), L"CreateThread(NULL, 0, bootstrap_p, this, 0, NULL)");
    ExitProcess(static_cast<UINT>(code));
  }
}

void G_SOCKET::start_slot(uint32_t i, uint64_t unit) {
  g_task_t &t = tasks[i];
  t.quiet = quiet;
  t.write = write;
  t.pRAM = ram.base + i * 3 * unit;
  t.send_buffer = t.pRAM + unit;
  t.send_half = t.send_buffer;
  t.p_send = nullptr;
  t.send_toggle = 0;
  t.send_half_size = packet_length_r;
  t.ws.tls.p_recv = t.pRAM;
  t.ws.tls.p_recv_size = packet_length_r;
  t.running = 1;

  t.start_r.create(false);
  t.reader.stack_size = hub::stack_size;
  int code = t.reader.create(bootstrap_r, &t);
  if (code == 0 && t.write) {
    t.start_w.create(false);
    t.writer.stack_size = hub::stack_size;
    code = t.writer.create(bootstrap_w, &t);
  }
  if (code != 0) {
    print_error(static_cast<uint32_t>(code), L"CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
    ExitProcess(static_cast<UINT>(code));
  }
}

void G_SOCKET::set_addresses() {
  addr_local = sockaddr_in{};
  addr_remote = sockaddr_in{};
  addr_local.sin_family = AF_INET;
  addr_remote.sin_family = AF_INET;
  addr_local.sin_addr.S_un.S_addr = ip_local[0] != '\0' ? inet_addr(ip_local) : INADDR_ANY;
  addr_local.sin_port = htons(port_local);
  addr_remote.sin_addr.S_un.S_addr = inet_addr(ip_remote);
  addr_remote.sin_port = htons(port_remote);
}

void G_SOCKET::release() {
  if (configured != 1)
    return;
  configured = 0;
  tls_context_release();
  ram.release();
}
