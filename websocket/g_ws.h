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

class g_ws_t {
public:
  G_CRYPT crypt;
  uint8_t saved_byte;
  uint8_t print_handshake;
  std::atomic<uint8_t> upgraded;
  uint8_t partial;
  uint8_t more;
  uint8_t continuation;
  // Set by `decrypt` when the decoded frame carries nothing to relay: a ping
  // or a pong that it handled itself, or an empty data frame (websocket
  // libraries end fragmented messages with one). The result (possibly 0) is
  // the payload length, so that `more` and the next frame work as usual.
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
  // Decodes the frame at `p` (`len` bytes, one writable byte after them).
  int64_t decrypt(uint8_t *p, uint64_t len, uint8_t **payload);
  // Builds a frame for `payload` inside `region` of `size` bytes. `len` is the
  // payload length in and the frame length out. Returns the frame start or null.
  uint8_t *encrypt(uint8_t *region, uint64_t size, const uint8_t *payload, uint64_t *len);
  // 1 (text) or 2 (binary) for an outgoing payload.
  int32_t choose_opcode(const uint8_t *payload, uint64_t n);
};

// RFC 4648 base64 of `length` bytes into `out` with a NUL. Returns the count.
int64_t base64_encode(const uint8_t *input, int64_t length, char *out);
