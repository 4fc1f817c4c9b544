#include <cstring>

#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"

DWORD bootstrap_w(LPVOID slot) {
  g_task_t *t = static_cast<g_task_t *>(slot);
  t->work_w(t->start_w);
  t->exit_writer();
  tls_thread_end();
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

bool g_task_t::send_packet(const ws_piece_t *pieces, uint32_t count, uint32_t connection) {
  uint32_t next = 0;
  while (next < count) {
    if (!take_send_half(connection))
      return false;
    uint64_t used = 0;
    next = frame_pieces(pieces, count, next, &used);
    if (used == 0) {
      send_done.set();
      return false;
    }
    hand_over(used);
  }
  return true;
}

// Waits until the writer is idle, then keeps the free half while the slot
// still serves connection `connection`; otherwise lets the next sender in.
bool g_task_t::take_send_half(uint32_t connection) {
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
  if (!active || ws.tls.so.load() == INVALID_SOCKET || serial.load() != connection) {
    send_done.set();
    return false;
  }
  return true;
}

// Frames pieces from `next` on, one behind another, into the free half
// (`*used` bytes of it taken) until the next would not fit. Returns the first
// piece left over. A piece that frames to nothing (an empty payload for a
// client without framing, or a connection whose framing closed) is skipped.
uint32_t g_task_t::frame_pieces(const ws_piece_t *pieces, uint32_t count, uint32_t next, uint64_t *used) {
  for (; next < count; ++next) {
    const ws_piece_t &piece = pieces[next];
    // An empty half holds any piece with its frame: a piece is at most a
    // receive long.
    if (*used != 0 && piece.size + WS_FRAME_ROOM > send_half_size - *used)
      break;
    uint8_t *end = send_half + *used;
    if (!ws.upgraded) {
      memcpy(end, piece.data, piece.size);
      *used += piece.size;
      continue;
    }
    // The payload lies in the sender's buffer, never in this half, so its
    // frame starts at `end`.
    uint64_t length = piece.size;
    if (ws.encrypt(end, send_half_size - *used, piece, &length) != nullptr)
      *used += length;
  }
  return next;
}

// The halves switch before the writer is woken: once it has sent, it lets
// the next sender in, which must find the other half.
void g_task_t::hand_over(uint64_t used) {
  p_send = send_half;
  size_send = used;
  if (!send_toggle) {
    send_half = send_buffer + send_half_size;
    send_toggle = 1;
  } else {
    send_half = send_buffer;
    send_toggle = 0;
  }
  send_ready.set();
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
