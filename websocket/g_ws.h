// A connection slot's WebSocket state: the hash service, the framing chosen
// by the opening handshake, the decoder's state between receives and, as its
// last member, the connection's transport.
#pragma once

#include <atomic>
#include <cstdint>

#include "tls/g_tls.h"
#include "websocket/g_crypt.h"
#include "websocket/utf8.h"

// Size of the handshake response buffer.
inline constexpr uint64_t WS_HEADER_SERVER_SIZE = 2048;
// Below this packet length the relay upgrades no connection.
inline constexpr uint64_t WS_MIN_PACKET_LENGTH = 256;
// What a frame built around a payload needs in a send half beyond the
// payload: the longest header in front and the older framing's terminator.
inline constexpr uint64_t WS_FRAME_ROOM = 11;
// Bytes that `decrypt` may write in front of the bytes it is given: the
// start of a character held back from the previous piece of a text message.
inline constexpr uint64_t WS_FRONT_ROOM = 4;

// Message types, as their RFC 6455 opcodes.
inline constexpr uint8_t WS_TEXT = 1;
inline constexpr uint8_t WS_BINARY = 2;

// `decrypt` results that end the connection.
// The client's close frame (answered with a close), no framing in force, or
// the older framing's closing frame.
inline constexpr int64_t WS_DECODE_CLOSED = -8;
// A protocol error, answered with a close frame carrying 1002 (RFC 6455
// section 7.4.1); in the older framing, a byte that starts no frame.
inline constexpr int64_t WS_DECODE_PROTOCOL_ERROR = -1;
// A text message that is not UTF-8, answered with a close frame carrying 1007.
inline constexpr int64_t WS_DECODE_INVALID_TEXT = -2;

// Close status for a client that breaks the relay's rules without breaking
// the protocol (RFC 6455 section 7.4.1).
inline constexpr uint16_t WS_STATUS_POLICY_VIOLATION = 1008;

// A piece of a message as it passes through the relay: the whole message,
// or part of one longer than a receive.
struct ws_piece_t {
  uint8_t *data{};
  uint64_t size{};
  uint8_t type{};
  uint8_t first{};
  uint8_t last{};
};

class g_ws_t {
public:
  G_CRYPT crypt;
  uint8_t print_handshake;
  std::atomic<uint8_t> upgraded;
  std::atomic<uint32_t> version;

  // Decoder state between receives. A frame header cut by a receive is kept
  // here (at most 14 bytes); a payload is never kept.
  uint8_t header[14];
  uint8_t header_size;
  uint8_t in_frame;
  uint8_t frame_opcode;
  uint8_t frame_fin;
  uint8_t mask[4];
  uint8_t mask_at;
  uint64_t frame_left;
  // The type of the message in progress (0 between messages), and whether a
  // piece of it has gone out.
  uint8_t message_type;
  uint8_t message_started;
  // A control frame's payload, gathered before it is acted on.
  uint8_t control[125];
  uint8_t control_size;
  // Text checking across pieces, and the bytes of a character that the
  // current piece ends inside, held back until the character is whole.
  utf8_state_t utf8;
  uint8_t tail[4];
  uint8_t tail_size;
  // Older framing: 0 between frames, 1 inside a message, 2 after a 0xFF.
  uint8_t older_state;

  g_tls_t tls;

  g_ws_t();
  ~g_ws_t();
  g_ws_t(const g_ws_t &) = delete;
  g_ws_t &operator=(const g_ws_t &) = delete;

  // Answers an opening request of `n` bytes (a NUL at request[n]) into the
  // 2048-byte, zero-filled `c_header_server`. Returns the response length, or
  // 0 or -1 when there is no response. Sets `version` (13 or 8).
  int64_t handshake(const uint8_t *request, uint64_t n, char *c_header_server);
  // Starts the decoder afresh for a new connection.
  void reset_framing();
  // Decodes the next part of the client's stream from the `len` (1 or more)
  // bytes at `p`, which may be cut anywhere. Returns the number of bytes used
  // (1 to `len`); call again with the rest. A frame of at most `capacity`
  // bytes is decoded whole: while the bytes end inside one, 0 is returned
  // and none is used, and the caller hands them again with more behind them.
  // A longer frame passes in pieces as its bytes come. When the bytes used
  // complete a piece of a message, `piece->data` points at it (null
  // otherwise): the payload is unmasked in place, and up to 3 bytes held back
  // from the previous piece of a text message are written just in front of
  // it, so the caller leaves WS_FRONT_ROOM bytes before each receive. Text is
  // checked as UTF-8 and a piece ends on a character boundary. Pings are
  // answered with a pong, pongs dropped. A result below 0 (WS_DECODE_) ends
  // the connection; the close frame it calls for has been sent.
  int64_t decrypt(uint8_t *p, uint64_t len, uint64_t capacity, ws_piece_t *piece);
  // Builds the frame that carries `piece` to this client inside `region` of
  // `size` bytes: a message's first piece opens it with its type, its last
  // ends it (FIN). `len` is the frame length out. Returns the frame start, or
  // null when there is nothing to send (an older-framing client takes text
  // only) or no room.
  uint8_t *encrypt(uint8_t *region, uint64_t size, const ws_piece_t &piece, uint64_t *len);
  // Sends an RFC 6455 client a close frame with `code` (RFC 6455 section
  // 7.4.1) and closes the framing; an older-framing client is only closed.
  void send_close(uint16_t code);

private:
  bool frame_incomplete(const uint8_t *p, uint64_t len, uint64_t capacity) const;
  bool refused(const uint8_t *h) const;
  int64_t read_header(uint8_t *p, uint64_t len, ws_piece_t *piece);
  int64_t start_frame(ws_piece_t *piece, uint8_t *at);
  int64_t read_payload(uint8_t *p, uint64_t len, ws_piece_t *piece);
  int64_t end_control();
  int64_t decode_older(uint8_t *p, uint64_t len, ws_piece_t *piece);
  bool pass_data(uint8_t *p, uint64_t n, bool last, ws_piece_t *piece);
  int64_t fail(uint16_t code, int64_t result);
};

// WS_TEXT when the `n` bytes are whole, valid UTF-8 by themselves, else
// WS_BINARY: the type of a payload from a client that sends no types.
int32_t choose_opcode(const uint8_t *payload, uint64_t n);

// What `g_ws_t::handshake` makes of the header line of `n` bytes at `line`:
// nothing, a value it reads, or the draft-76 Sec-WebSocket-Key1, whose
// request ends with 8 key bytes behind its head.
enum class header_use_t { none, read, key1 };
header_use_t header_use(const uint8_t *line, uint64_t n);

// RFC 4648 base64 of `length` bytes into `out` with a NUL. Returns the count.
int64_t base64_encode(const uint8_t *input, int64_t length, char *out);
