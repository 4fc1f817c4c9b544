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

bool g_task_t::take_hold(int32_t sender) {
  for (;;) {
    int32_t none = -1;
    if (holder.compare_exchange_strong(none, sender))
      return true;
    // Counted before the second try, so that a release after it sees the
    // waiter and signals.
    hold_waiters.fetch_add(1);
    none = -1;
    if (holder.compare_exchange_strong(none, sender)) {
      hold_waiters.fetch_sub(1);
      return true;
    }
    const int waited = hold_free.wait();
    hold_waiters.fetch_sub(1);
    if (waited != 0)
      return false;
  }
}

void g_task_t::release_hold() {
  holder.store(-1);
  if (hold_waiters.load() != 0)
    hold_free.set();
}

bool g_task_t::send_packet(const ws_piece_t &piece, uint32_t connection) {
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
  if (!active || ws.tls.so.load() == INVALID_SOCKET || serial.load() != connection ||
      (piece.size == 0 && !ws.upgraded)) {
    send_done.set();
    return false;
  }

  uint8_t *p;
  uint64_t length = piece.size;
  if (ws.upgraded) {
    p = ws.encrypt(send_half, send_half_size, piece, &length);
  } else {
    memcpy(send_half, piece.data, piece.size);
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
