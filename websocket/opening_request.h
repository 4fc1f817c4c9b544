// An opening request read as it comes, in receives cut anywhere: its head up
// to the first empty line, and a draft-76 request's 8 key bytes behind it.
// Only the request line and the header lines the answer reads are kept, so
// a head far longer than a receive (a browser's cookies) costs no buffer.
#pragma once

#include <cstdint>

// The longest head answered, from the request line through its empty line.
inline constexpr uint64_t WS_REQUEST_HEAD_MAX = 16384;
// Room for the kept lines; a kept header line longer than
// WS_REQUEST_LINE_MAX, or more of them than the room holds, makes the
// request one that cannot be answered. The request line is kept cut to it.
inline constexpr uint64_t WS_REQUEST_LINE_MAX = 512;
inline constexpr uint64_t WS_REQUEST_KEPT_SIZE = 2048;
// A draft-76 request's key bytes behind its head.
inline constexpr uint8_t WS_REQUEST_KEY_BYTES = 8;

enum class request_state_t {
  // More bytes are needed.
  partial,
  // The request is whole: `kept` holds what the answer needs.
  whole,
  // The head did not end within WS_REQUEST_HEAD_MAX bytes.
  too_large,
  // A header the answer needs did not fit the kept room.
  unfit,
};

class ws_request_t {
public:
  // Takes the next `n` bytes of the stream. Returns how many belong to the
  // request: all `n` while it is partial, fewer when it ends inside them
  // (the rest are the client's first frames), none once it is decided.
  uint64_t read(const uint8_t *p, uint64_t n);
  request_state_t state() const { return state_; }
  // Whether the first line is whole, and whether it reads as an HTTP/1.x
  // request line ("GET <target> HTTP/1.1"): bytes that begin with "GET " but
  // are no such line are a raw client's data, not a request.
  bool first_line_done() const { return past_first_line_; }
  bool is_request_line() const { return request_line_; }
  // The kept request, whole, with a NUL behind it: the request line, the
  // kept header lines, the empty line and the key bytes, as `g_ws_t::handshake`
  // reads them.
  const uint8_t *kept() const { return kept_; }
  uint64_t kept_size() const { return kept_size_; }

private:
  void take(uint8_t byte);
  void end_line();
  void end_head();

  uint8_t kept_[WS_REQUEST_KEPT_SIZE + WS_REQUEST_KEY_BYTES + 1]{};
  uint64_t kept_size_{};
  // Where the line being read starts in `kept_`, and its length so far.
  uint64_t line_start_{};
  uint64_t line_length_{};
  bool past_first_line_{};
  uint64_t head_size_{};
  // The last bytes of the stream, newest last: the end of the head and of
  // the request line are found in them.
  uint8_t recent_[12]{};
  bool key1_{};
  uint8_t key_bytes_left_{};
  bool request_line_{};
  request_state_t state_{request_state_t::partial};
};
