// A connection slot's WebSocket state: the hash service, the framing chosen
// by the opening handshake, the framing flags, the text/binary state of
// outgoing frames and, as its last member, the connection's transport.
#pragma once

#include <atomic>
#include <cstdint>

#include "tls/g_tls.h"
#include "websocket/g_crypt.h"

// Size of the handshake response buffer.
inline constexpr uint64_t WS_HEADER_SERVER_SIZE = 2048;
// Below this packet length the relay upgrades no connection.
inline constexpr uint64_t WS_MIN_PACKET_LENGTH = 256;
// What a frame built around a payload needs in a send half beyond the
// payload: the longest header in front and the older framing's terminator.
inline constexpr uint64_t WS_FRAME_ROOM = 11;

// `decrypt` results that end the connection.
// The client's close frame (answered with a close), no framing in force, or
// the older framing's closing frame.
inline constexpr int64_t WS_DECODE_CLOSED = -8;
// A continuation frame with no fragmented message to continue.
inline constexpr int64_t WS_DECODE_STRAY_CONTINUATION = -2;
// A frame with reserved bits set, or an older-framing frame that does not
// start with 0x00.
inline constexpr int64_t WS_DECODE_BAD_FRAME = -1;
// A reserved opcode, a fragmented control frame or a control payload over
// 125 bytes.
inline constexpr int64_t WS_DECODE_REFUSED = 0;

class g_ws_t {
public:
  G_CRYPT crypt;
  uint8_t saved_byte;
  uint8_t print_handshake;
  std::atomic<uint8_t> upgraded;
  uint8_t partial;
  uint8_t more;
  uint8_t continuation;
  // See `decrypt`.
  uint8_t skip;
  int32_t opcode_forced;
  int32_t opcode;
  int32_t utf8_pending;
  int32_t utf8_fresh;
  std::atomic<uint32_t> version;
  g_tls_t tls;

  g_ws_t();
  ~g_ws_t();
  g_ws_t(const g_ws_t &) = delete;
  g_ws_t &operator=(const g_ws_t &) = delete;

  // Answers an opening request of `n` bytes (a NUL at request[n]) into the
  // 2048-byte, zero-filled `c_header_server`. Returns the response length, or
  // 0 or -1 when there is no response. Sets `version` (13 or 8).
  int64_t handshake(const uint8_t *request, uint64_t n, char *c_header_server);
  // Decodes the frame at `p`: `len` bytes received, with one writable byte
  // after them. The payload is unmasked in place and a NUL is written after
  // it. Results and flags:
  // - `partial` set: the frame is not complete and the result is `len`. The
  //   caller keeps those bytes and calls again once more have arrived.
  // - A length (0 or more) with `partial` clear: a whole frame whose payload
  //   starts at `*payload`. The older framing's length counts the terminator.
  //   With `skip` set it carries nothing to relay: a ping (answered here with
  //   a pong), a pong, or an empty data frame (websocket libraries end
  //   fragmented messages with one).
  // - `more` set with a whole frame: the next frame starts at `*payload` +
  //   result. The NUL overwrote its first byte, which the next call restores
  //   from `saved_byte`; call again with `more` still set.
  // - One of the WS_DECODE_ results (0 only with `skip` clear): the
  //   connection is to end; a close frame has been answered already.
  int64_t decrypt(uint8_t *p, uint64_t len, uint8_t **payload);
  // Builds a frame for `payload` inside `region` of `size` bytes. `len` is the
  // payload length in and the frame length out. Returns the frame start or null.
  uint8_t *encrypt(uint8_t *region, uint64_t size, const uint8_t *payload, uint64_t *len);
  // 1 (text) or 2 (binary) for an outgoing payload.
  int32_t choose_opcode(const uint8_t *payload, uint64_t n);
};

// RFC 4648 base64 of `length` bytes into `out` with a NUL. Returns the count.
int64_t base64_encode(const uint8_t *input, int64_t length, char *out);
