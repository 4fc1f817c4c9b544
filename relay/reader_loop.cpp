#include <algorithm>
#include <chrono>
#include <cstring>

#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"

namespace {

// The receive time-out of a reader whose message is in progress. The stall
// limit counts from the message's last piece, so that pings, or the bytes of
// a frame that never completes, do not keep its receivers held; and once
// another sender waits for one of them, from the message's first hold, so
// that a sender that drips a long message holds the others no longer than
// that: past it, the message must come without a pause.
class message_stall_t {
public:
  // Before each receive: whether a message is in progress, how many holds
  // the reader has taken, whether the last receive took the message further,
  // and whether another sender waits for one of its receivers.
  void limit(SOCKET so, bool in_message, uint64_t holds, bool progressed, bool contended) {
    DWORD wanted = RELAY_TIMEOUT_MS;
    if (in_message) {
      const clock::time_point now = clock::now();
      // A message still in progress after the receive that took its hold
      // began in that receive.
      if (holds != holds_seen) {
        holds_seen = holds;
        held_since = now;
      }
      if (progressed)
        last_piece = now;
      wanted = left(now, last_piece);
      if (contended)
        wanted = std::min(wanted, left(now, held_since));
    }
    if (wanted != timeout) {
      set_receive_timeout(so, wanted);
      timeout = wanted;
    }
  }

private:
  using clock = std::chrono::steady_clock;

  // What is left of the stall limit counted from `since`, at least 1 ms (0
  // would mean no limit).
  static DWORD left(clock::time_point now, clock::time_point since) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
    return spent >= SEND_STALL_MS ? 1 : SEND_STALL_MS - static_cast<DWORD>(spent);
  }

  clock::time_point last_piece{};
  clock::time_point held_since{};
  uint64_t holds_seen{};
  DWORD timeout{RELAY_TIMEOUT_MS};
};

} // namespace

uint64_t receive_limit() {
  return hub::packet_length >= WS_MIN_PACKET_LENGTH ? hub::packet_length - WS_FRAME_ROOM : hub::packet_length - 1;
}

// The first bytes the reader relays, where the loop's receive would have put
// them: those kept from the set-up, or a first receive, which from a client
// set up without WebSocket may still begin an opening request. `*n` is the
// count, or the receive's result. false when the connection is to end.
bool g_task_t::first_receive(int64_t *n) {
  if (pending == 0 && !ws.upgraded && may_upgrade()) {
    WSASetLastError(0);
    *n = ws.tls.recv(pRAM, receive_limit());
    if (*n <= 0)
      return true;
    if (!open_late(static_cast<uint64_t>(*n)))
      return false;
  }
  *n = static_cast<int64_t>(pending);
  pending = 0;
  if (*n == 0) {
    const uint64_t room = ws.upgraded ? WS_FRONT_ROOM : 0;
    WSASetLastError(0);
    *n = ws.tls.recv(pRAM + room, receive_limit() - room);
  }
  return true;
}

int g_task_t::reader_loop() {
  int64_t n = 0;
  if (!first_receive(&n))
    return 0;
  // A WebSocket client's bytes go in after room for the start of a character
  // that the decoder holds back from one receive to the next.
  const uint64_t room = ws.upgraded ? WS_FRONT_ROOM : 0;
  const uint64_t limit = receive_limit() - room;
  uint8_t *buffer = pRAM + room;

  // Bytes of a frame that the buffer will hold whole wait at its front for
  // the rest.
  uint64_t kept = 0;
  int64_t left = 0;
  message_stall_t stall;
  while (n >= 1) {
    const uint64_t total = kept + static_cast<uint64_t>(n);
    const uint64_t pieces_before = relayed_pieces;
    left = relay_received(buffer, total, limit);
    if (left < 0)
      break;
    kept = static_cast<uint64_t>(left);
    memmove(buffer, buffer + total - kept, kept);
    // Only a message in progress has a limit: whole messages cost no clock
    // read and no look at the targets.
    const bool message = in_message();
    stall.limit(ws.tls.so, message, holds_taken, relayed_pieces != pieces_before, message && targets_awaited());
    WSASetLastError(0);
    n = ws.tls.recv(buffer + kept, limit - kept);
  }
  const transport_end_t end = left < 0 ? transport_end_t{} : ws.tls.end_reason(n);
  // A receive time-out is set only while a message is in progress.
  const bool stalled = end.socket_error == WSAETIMEDOUT && in_message();
  if (stalled)
    ws.send_close(WS_STATUS_POLICY_VIOLATION);
  end_message();

  if (left < 0 || stalled || !running)
    return 0;
  if (end.socket_error != 0) {
    wprint(L"\n!! recv(%u)  so %i %i\n", index, static_cast<int>(ws.tls.so.load()),
           static_cast<int>(ws.tls.so_accepted));
    print_error(static_cast<uint32_t>(end.socket_error), L"");
    return end.socket_error;
  }
  if (end.tls_error != 0)
    wprint(L"\n!! recv(%u)  TLS error %i  so %i %i\n", index, end.tls_error, static_cast<int>(ws.tls.so.load()),
           static_cast<int>(ws.tls.so_accepted));
  return 0;
}

// Relays the `n` bytes at `data`: from a client without framing, one whole
// message typed by its content; from a WebSocket client, the pieces the
// decoder finds, frames of up to `capacity` bytes whole. Returns the count of
// bytes at the end that wait for more, or -1 when the decoder ended the
// connection (what it found before the fault is relayed).
int64_t g_task_t::relay_received(uint8_t *data, uint64_t n, uint64_t capacity) {
  if (!ws.upgraded) {
    add_piece({data, n, static_cast<uint8_t>(choose_opcode(data, n)), 1, 1});
    relay_batch();
    return 0;
  }
  bool ended = false;
  while (n != 0) {
    ws_piece_t piece;
    const int64_t used = ws.decrypt(data, n, capacity, &piece);
    ended = used < 0;
    if (used <= 0)
      break;
    if (piece.data != nullptr)
      add_piece(piece);
    data += used;
    n -= static_cast<uint64_t>(used);
  }
  relay_batch();
  return ended ? -1 : static_cast<int64_t>(n);
}

// The decoder's state outlives a WebSocket connection; only an upgraded one
// has a message in progress.
bool g_task_t::in_message() const {
  return ws.upgraded != 0 && ws.message_started != 0;
}

void g_task_t::add_piece(const ws_piece_t &piece) {
  if (batch_size == RELAY_BATCH_PIECES)
    relay_batch();
  batch[batch_size++] = piece;
}

// Each target takes the whole batch in one hand-over. A message that the
// batch starts fixes the targets; they stay held until a batch ends with the
// end of a message, so messages reach each client one at a time.
void g_task_t::relay_batch() {
  if (batch_size == 0)
    return;
  if (batch[0].first)
    take_targets();
  const ws_piece_t &last = batch[batch_size - 1];
  message_type = last.type;
  relayed_pieces += batch_size;
  for (uint32_t i = 0; i < hub::connections; ++i) {
    if ((targets >> i & 1) != 0)
      hub::tasks[i].send_packet(batch, batch_size, target_serial[i]);
  }
  if (last.last) {
    for (uint32_t i = 0; i < hub::connections; ++i) {
      if ((targets >> i & 1) != 0)
        hub::tasks[i].release_hold();
    }
    targets = 0;
  }
  batch_size = 0;
}

// The targets are the other active slots at the message's first piece, taken
// in slot order: every sender takes them in the same order, so two senders
// never each hold what the other waits for.
void g_task_t::take_targets() {
  ++holds_taken;
  targets = 0;
  for (uint32_t i = 0; i < hub::connections; ++i) {
    g_task_t &target = hub::tasks[i];
    if (&target == this || !target.active || !target.take_hold(static_cast<int32_t>(index)))
      continue;
    target_serial[i] = target.serial.load();
    if (!target.active) {
      target.release_hold();
      continue;
    }
    targets |= uint64_t{1} << i;
  }
}

// Whether another sender waits for a target of the message in progress.
bool g_task_t::targets_awaited() const {
  for (uint32_t i = 0; i < hub::connections; ++i) {
    if ((targets >> i & 1) != 0 && hub::tasks[i].hold_waiters.load() != 0)
      return true;
  }
  return false;
}

// A message cut short by its sender's end still ends cleanly at its receivers.
void g_task_t::end_message() {
  if (targets == 0)
    return;
  uint8_t none = 0;
  add_piece({&none, 0, message_type, 0, 1});
  relay_batch();
}
