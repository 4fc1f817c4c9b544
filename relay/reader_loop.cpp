#include <cstring>

#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"

namespace {

// RFC 6455 frames carry at least a 2-byte header; an older-framing frame is
// its 0x00, the message and the terminator, where the size counts the
// message and the terminator.
uint64_t frame_overhead(uint32_t version) {
  return version >= 13 ? 2 : 1;
}

} // namespace

uint64_t receive_limit() {
  return hub::packet_length >= WS_MIN_PACKET_LENGTH ? hub::packet_length - WS_FRAME_ROOM : hub::packet_length - 1;
}

int g_task_t::reader_loop() {
  const uint64_t limit = receive_limit();
  uint64_t used = 0;
  int64_t n;
  if (pending != 0) {
    n = static_cast<int64_t>(pending);
    pending = 0;
  } else {
    WSASetLastError(0);
    n = ws.tls.recv(pRAM, limit);
  }

  while (n >= 1) {
    uint8_t *q = pRAM;
    uint64_t msg_size_read = used + static_cast<uint64_t>(n);
    for (;;) {
      uint8_t *payload = q;
      int64_t size = static_cast<int64_t>(msg_size_read);
      uint64_t relay_size = msg_size_read;
      if (ws.upgraded) {
        const uint32_t version = ws.version;
        size = ws.decrypt(q, msg_size_read, &payload);
        if (size <= 0 && !ws.skip)
          return 0;
        if (ws.partial) {
          if (q != pRAM)
            memmove(pRAM, q, msg_size_read);
          used = msg_size_read;
          break;
        }
        if (static_cast<uint64_t>(size) + frame_overhead(version) > msg_size_read) {
          wprint(L"ws.decrypt returned size beyond msg_size_read  2 + %llu > %llu\n",
                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(msg_size_read));
          ws.tls.abortive_close = 1;
          return 0;
        }
        used = 0;
        // The older framing's size counts the terminator; only the message
        // itself is relayed.
        relay_size = ws.skip ? 0 : static_cast<uint64_t>(size) - (version >= 13 ? 0 : 1);
      }

      if (relay_size != 0) {
        for (uint32_t i = 0; i < hub::connections; ++i) {
          g_task_t &target = hub::tasks[i];
          if (&target != this && target.active)
            target.send_packet(payload, relay_size);
        }
      }

      if (!ws.upgraded || !ws.more)
        break;
      const uint8_t *next = payload + size;
      msg_size_read -= static_cast<uint64_t>(next - q);
      q = payload + size;
    }

    // A kept frame that fills the whole buffer can never complete.
    if (used >= limit)
      return 0;
    WSASetLastError(0);
    n = ws.tls.recv(pRAM + used, limit - used);
  }

  if (!running)
    return 0;
  const transport_end_t end = ws.tls.end_reason(n);
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
