#include <cstring>

#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"

DWORD bootstrap_w(LPVOID slot) {
  g_task_t *t = static_cast<g_task_t *>(slot);
  t->work_w(t->start_w);
  t->exit_writer();
  return 0;
}

bool g_task_t::send_packet(const uint8_t *data, uint64_t size) {
  if (send_done.valid)
    send_done.wait();

  if (send_result == -1) {
    send_done.set();
    const int32_t error = send_error;
    if (error != 0)
      print_error(static_cast<uint32_t>(error),
                  L"!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)");
    return false;
  }
  if (size == 0 || !active || ws.tls.so.load() == INVALID_SOCKET) {
    send_done.set();
    return false;
  }

  uint8_t *p;
  uint64_t length = size;
  if (ws.upgraded) {
    p = ws.encrypt(send_half, send_half_size, data, &length);
  } else {
    memcpy(send_half, data, size);
    p = send_half;
  }
  p_send = p;
  size_send = length;
  if (p == nullptr || length == 0) {
    send_done.set();
    return false;
  }

  // The halves switch before the writer is woken: once it has sent, it lets
  // the next sender in, which must find the other half.
  if (!send_toggle) {
    send_half = send_buffer + send_half_size;
    send_toggle = 1;
  } else {
    send_half = send_buffer;
    send_toggle = 0;
  }
  send_ready.set();
  return true;
}

int g_task_t::work_w(g_event_t &gate) {
  if (!running)
    return 0;
  for (;;) {
    // The gate opens once for each connection that becomes active. Serve
    // after it even if that connection has already ended again: a payload
    // handed over meanwhile must still be answered with send_done, which the
    // reader waits for before it lets the socket go.
    if (!connected || ws.tls.so.load() == INVALID_SOCKET) {
      if (!gate.valid)
        return -1;
      if (gate.wait() != 0 || !gate.valid)
        return -1;
      if (!running)
        return 0;
    }
    while (send_ready.valid) {
      if (send_ready.wait() != 0 || !send_ready.valid)
        break;
      const int64_t result = ws.tls.send(p_send, size_send);
      send_result = result;
      if (result == -1) {
        const int32_t error = ws.tls.end_reason(result).socket_error;
        // A stalled client is ended like one that left: nothing to report.
        send_error = error == WSAETIMEDOUT ? 0 : error;
        ws.tls.disconnect();
      }
      send_done.set();
    }
    connected = 0;
    if (hub::stop || !running)
      return 0;
  }
}
