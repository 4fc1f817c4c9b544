#include "websocket/g_ws.h"

#include <cstring>

namespace {

// A final close frame with status 1000, unmasked.
constexpr uint8_t CLOSE_REPLY[4] = {0x88, 0x02, 0x03, 0xE8};

constexpr uint8_t WS_FIN = 0x80;
constexpr uint8_t WS_RSV = 0x70;
constexpr uint8_t WS_OPCODE = 0x0F;
constexpr uint8_t WS_MASK = 0x80;
constexpr uint8_t WS_LENGTH = 0x7F;
constexpr uint8_t WS_PING = 0x9;
constexpr uint8_t WS_PONG = 0xA;
constexpr uint8_t WS_CLOSE = 0x8;
constexpr uint8_t WS_CONTINUATION = 0x0;
// The longest payload that the 7-bit length holds; RFC 6455 also limits
// control frame payloads to it.
constexpr uint64_t WS_LENGTH7_MAX = 125;
// A payload that already lies this far into the region stays there: room
// for the longest header in front.
constexpr uint64_t WS_PAYLOAD_OFFSET = 10;
constexpr uint64_t WS_PAYLOAD_OFFSET_MAX = 16;
constexpr uint32_t WS_VERSION_RFC6455 = 13;
constexpr uint16_t WS_STATUS_PROTOCOL_ERROR = 1002;
constexpr uint16_t WS_STATUS_INVALID_TEXT = 1007;
// The older framing's closing frame, sent back as the answer to the client's.
constexpr uint8_t OLDER_CLOSE[2] = {0xFF, 0x00};

// Older framing states.
constexpr uint8_t OLDER_BETWEEN = 0;
constexpr uint8_t OLDER_MESSAGE = 1;
constexpr uint8_t OLDER_CLOSING = 2;

uint64_t load_be(const uint8_t *p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = value << 8 | p[i];
  }
  return value;
}

// Whole 8-byte words first: the key is laid out twice in wire order, turned
// to where the frame's payload stands (`at`), and both sides are loaded with
// memcpy, so every byte meets the key byte the bytewise rule gives it, on any
// byte order and alignment.
void unmask(uint8_t *payload, uint64_t length, const uint8_t *mask, uint8_t at) {
  uint8_t key[4];
  for (int i = 0; i < 4; ++i) {
    key[i] = mask[(at + i) & 3];
  }
  uint8_t key_twice[8];
  std::memcpy(key_twice, key, 4);
  std::memcpy(key_twice + 4, key, 4);
  uint64_t key_word;
  std::memcpy(&key_word, key_twice, 8);
  uint64_t i = 0;
  for (; length - i >= 8; i += 8) {
    uint64_t word;
    std::memcpy(&word, payload + i, 8);
    word ^= key_word;
    std::memcpy(payload + i, &word, 8);
  }
  for (; i < length; ++i) {
    payload[i] ^= key[i & 3];
  }
}

// The length of the header that starts with the `size` bytes at `h`, as far
// as they tell: 2 until the second byte is there.
uint64_t header_length(const uint8_t *h, uint64_t size) {
  if (size < 2) {
    return 2;
  }
  const uint8_t l7 = h[1] & WS_LENGTH;
  const uint64_t extended = l7 == 126 ? 2 : (l7 == 127 ? 8 : 0);
  return 2 + extended + ((h[1] & WS_MASK) != 0 ? 4 : 0);
}

// The length of an unmasked header for a payload of `size` bytes.
uint64_t header_size_for(uint64_t size) {
  return size <= WS_LENGTH7_MAX ? 2 : (size <= 0xFFFF ? 4 : 10);
}

// The payload length that the whole header at `h` gives.
uint64_t payload_length(const uint8_t *h) {
  const uint8_t l7 = h[1] & WS_LENGTH;
  return l7 < 126 ? l7 : load_be(h + 2, l7 == 126 ? 2 : 8);
}

bool known_opcode(uint8_t op) {
  return op <= 2 || op == WS_CLOSE || op == WS_PING || op == WS_PONG;
}

} // namespace

g_ws_t::g_ws_t()
    : print_handshake(0), upgraded(0), version(0), header{}, header_size(0), in_frame(0), frame_opcode(0),
      frame_fin(0), mask{}, mask_at(0), frame_left(0), message_type(0), message_started(0), control{},
      control_size(0), utf8{}, tail{}, tail_size(0), older_state(OLDER_BETWEEN) {}

// After the body the members go in reverse order of declaration: `tls` first
// and `crypt`, whose destruction is its reset, last. A reset written here
// would run before the transport is gone.
g_ws_t::~g_ws_t() {
  upgraded = 0;
}

void g_ws_t::reset_framing() {
  header_size = 0;
  in_frame = 0;
  frame_left = 0;
  mask_at = 0;
  message_type = 0;
  message_started = 0;
  control_size = 0;
  utf8 = {};
  tail_size = 0;
  older_state = OLDER_BETWEEN;
}

int64_t g_ws_t::decrypt(uint8_t *p, uint64_t len, uint64_t capacity, ws_piece_t *piece) {
  piece->data = nullptr;
  const uint32_t framing = version.load();
  if (framing == 0) {
    return WS_DECODE_CLOSED;
  }
  if (len == 0) {
    return 0;
  }
  if (framing < WS_VERSION_RFC6455) {
    return decode_older(p, len, piece);
  }
  if (in_frame) {
    return read_payload(p, len, piece);
  }
  // A frame that the receive buffer holds goes on whole: one frame and one
  // send per target instead of one for each receive that it spans.
  if (header_size == 0 && frame_incomplete(p, len, capacity)) {
    return 0;
  }
  return read_header(p, len, piece);
}

bool g_ws_t::frame_incomplete(const uint8_t *p, uint64_t len, uint64_t capacity) const {
  const uint64_t h = header_length(p, len);
  if (h > capacity) {
    return false;
  }
  if (len < h) {
    return true;
  }
  // A frame that will be refused is not waited for: its close goes out now.
  const uint64_t length = payload_length(p);
  return len - h < length && length <= capacity - h && !refused(p);
}

// Extensions are never agreed, a client must mask, a control frame is whole
// and short, and a message is either in progress or not (RFC 6455 sections
// 5.2 to 5.5).
bool g_ws_t::refused(const uint8_t *h) const {
  const uint8_t op = h[0] & WS_OPCODE;
  const bool fin = (h[0] & WS_FIN) != 0;
  const bool control_frame = op >= WS_CLOSE;
  const uint64_t length = payload_length(h);
  return (h[0] & WS_RSV) != 0 || !known_opcode(op) || (h[1] & WS_MASK) == 0 || (length >> 63) != 0 ||
         (control_frame && (!fin || length > WS_LENGTH7_MAX)) || (op == WS_CONTINUATION && message_type == 0) ||
         ((op == WS_TEXT || op == WS_BINARY) && message_type != 0);
}

void g_ws_t::send_close(uint16_t code) {
  if (version.load() >= WS_VERSION_RFC6455) {
    const uint8_t frame[4] = {WS_FIN | WS_CLOSE, 2, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
    tls.send(frame, sizeof(frame));
  }
  version = 0;
}

// The connection ends with `result` after a close frame with `code`.
int64_t g_ws_t::fail(uint16_t code, int64_t result) {
  send_close(code);
  return result;
}

int64_t g_ws_t::read_header(uint8_t *p, uint64_t len, ws_piece_t *piece) {
  uint64_t used = 0;
  while (header_size < header_length(header, header_size)) {
    if (used == len) {
      return static_cast<int64_t>(used);
    }
    header[header_size++] = p[used++];
  }
  const int64_t started = start_frame(piece, p + used);
  header_size = 0;
  return started < 0 ? started : static_cast<int64_t>(used);
}

// Checks the header just gathered and sets up its frame; an empty frame ends
// at once, its piece pointing at `at`.
int64_t g_ws_t::start_frame(ws_piece_t *piece, uint8_t *at) {
  if (refused(header)) {
    return fail(WS_STATUS_PROTOCOL_ERROR, WS_DECODE_PROTOCOL_ERROR);
  }
  const uint8_t op = header[0] & WS_OPCODE;
  const bool fin = (header[0] & WS_FIN) != 0;
  const bool control_frame = op >= WS_CLOSE;
  const uint64_t length = payload_length(header);
  std::memcpy(mask, header + header_size - 4, 4);
  mask_at = 0;
  frame_opcode = op;
  frame_fin = fin;
  frame_left = length;
  control_size = 0;
  in_frame = 1;
  if (op == WS_TEXT || op == WS_BINARY) {
    message_type = op;
    message_started = 0;
    utf8 = {};
    tail_size = 0;
  }
  if (length != 0) {
    return 0;
  }
  in_frame = 0;
  if (control_frame) {
    return end_control();
  }
  if (fin && !pass_data(at, 0, true, piece)) {
    return fail(WS_STATUS_INVALID_TEXT, WS_DECODE_INVALID_TEXT);
  }
  return 0;
}

int64_t g_ws_t::read_payload(uint8_t *p, uint64_t len, ws_piece_t *piece) {
  const uint64_t m = frame_left < len ? frame_left : len;
  unmask(p, m, mask, mask_at);
  mask_at = static_cast<uint8_t>((mask_at + m) & 3);
  frame_left -= m;
  if (frame_left == 0) {
    in_frame = 0;
  }
  if (frame_opcode >= WS_CLOSE) {
    std::memcpy(control + control_size, p, m);
    control_size = static_cast<uint8_t>(control_size + m);
    if (frame_left == 0) {
      const int64_t ended = end_control();
      if (ended < 0) {
        return ended;
      }
    }
    return static_cast<int64_t>(m);
  }
  if (!pass_data(p, m, frame_fin && frame_left == 0, piece)) {
    return fail(WS_STATUS_INVALID_TEXT, WS_DECODE_INVALID_TEXT);
  }
  return static_cast<int64_t>(m);
}

// A ping is answered with a pong that carries its payload (RFC 6455 section
// 5.5.2); a close is answered with a close, after which the connection ends.
int64_t g_ws_t::end_control() {
  if (frame_opcode == WS_PING) {
    uint8_t pong[2 + WS_LENGTH7_MAX];
    pong[0] = WS_FIN | WS_PONG;
    pong[1] = control_size;
    std::memcpy(pong + 2, control, control_size);
    tls.send(pong, 2u + control_size);
  } else if (frame_opcode == WS_CLOSE) {
    tls.send(CLOSE_REPLY, sizeof(CLOSE_REPLY));
    version = 0;
    return WS_DECODE_CLOSED;
  }
  return 0;
}

// Hands on the `n` data bytes at `p` as a piece of the message in progress.
// Text is checked first; the bytes of a character that `p` ends inside are
// held back and go in front of the next piece. False when the text is not
// UTF-8 or the message ends inside a character.
bool g_ws_t::pass_data(uint8_t *p, uint64_t n, bool last, ws_piece_t *piece) {
  uint8_t *start = p;
  uint64_t size = n;
  if (message_type == WS_TEXT) {
    const int64_t boundary = utf8_scan(utf8, p, n);
    if (boundary < 0 || (last && utf8.need != 0)) {
      return false;
    }
    const uint64_t b = static_cast<uint64_t>(boundary);
    if (b == 0) {
      std::memcpy(tail + tail_size, p, n);
      tail_size = static_cast<uint8_t>(tail_size + n);
      size = 0;
    } else {
      start = p - tail_size;
      std::memcpy(start, tail, tail_size);
      size = tail_size + b;
      tail_size = static_cast<uint8_t>(n - b);
      std::memcpy(tail, p + b, tail_size);
    }
  }
  if (size == 0 && !last) {
    return true;
  }
  piece->data = start;
  piece->size = size;
  piece->type = message_type;
  piece->first = !message_started;
  piece->last = last;
  message_started = 1;
  if (last) {
    message_type = 0;
    message_started = 0;
  }
  return true;
}

// The older framing: 0x00, the UTF-8 text, 0xFF; 0xFF 0x00 closes. Every
// frame boundary may fall between two receives.
int64_t g_ws_t::decode_older(uint8_t *p, uint64_t len, ws_piece_t *piece) {
  if (older_state == OLDER_BETWEEN) {
    if (p[0] == 0x00) {
      older_state = OLDER_MESSAGE;
      message_type = WS_TEXT;
      message_started = 0;
      utf8 = {};
      tail_size = 0;
      return 1;
    }
    if (p[0] == 0xFF) {
      older_state = OLDER_CLOSING;
      return 1;
    }
    return fail(0, WS_DECODE_PROTOCOL_ERROR);
  }
  if (older_state == OLDER_CLOSING) {
    if (p[0] != 0x00) {
      return fail(0, WS_DECODE_PROTOCOL_ERROR);
    }
    tls.send(OLDER_CLOSE, sizeof(OLDER_CLOSE));
    version = 0;
    return WS_DECODE_CLOSED;
  }
  const uint8_t *terminator = static_cast<const uint8_t *>(std::memchr(p, 0xFF, len));
  const uint64_t m = terminator != nullptr ? static_cast<uint64_t>(terminator - p) : len;
  const bool last = terminator != nullptr;
  // An empty message has always closed the connection here; one whose bytes
  // are all held back is not empty.
  if (last && m == 0 && !message_started && tail_size == 0) {
    version = 0;
    return WS_DECODE_CLOSED;
  }
  if (!pass_data(p, m, last, piece)) {
    return fail(0, WS_DECODE_INVALID_TEXT);
  }
  if (last) {
    older_state = OLDER_BETWEEN;
  }
  return static_cast<int64_t>(last ? m + 1 : m);
}

uint8_t *g_ws_t::encrypt(uint8_t *region, uint64_t size, const ws_piece_t &piece, uint64_t *len) {
  const uint32_t framing = version.load();
  if (region == nullptr || piece.data == nullptr || framing == 0) {
    return nullptr;
  }
  const bool older = framing < WS_VERSION_RFC6455;
  // The older framing carries text only: a 0xFF inside a binary message
  // would end it early and break the client's framing. It has no empty
  // message either: 0x00 0xFF closes.
  if (older && (piece.type != WS_TEXT || (piece.size == 0 && (piece.first || !piece.last)))) {
    return nullptr;
  }
  // Addresses are compared as integers: the payload normally lies in another
  // slot's buffer, outside the region, and may happen to start just past its
  // end, which is no reason to leave it in place.
  const uintptr_t distance = reinterpret_cast<uintptr_t>(piece.data) - reinterpret_cast<uintptr_t>(region);
  const bool stays = distance >= WS_PAYLOAD_OFFSET && distance <= WS_PAYLOAD_OFFSET_MAX && distance <= size &&
                     piece.size <= size - distance;
  // A copied payload goes just behind its header, so that the frame starts
  // at the region's start and frames built one after another leave no gap.
  const uint64_t lead = older ? (piece.first ? 1 : 0) : header_size_for(piece.size);
  const uint64_t offset = stays ? distance : lead;
  const uint64_t trailer = older && piece.last ? 1 : 0;
  if (offset + trailer > size || piece.size > size - offset - trailer) {
    return nullptr;
  }
  uint8_t *data = region + offset;
  if (!stays) {
    std::memmove(data, piece.data, piece.size);
  }
  *len = piece.size;

  if (older) {
    uint8_t *frame = data;
    if (piece.first) {
      *--frame = 0x00;
    }
    if (piece.last) {
      data[(*len)++] = 0xFF;
    }
    *len += static_cast<uint64_t>(data - frame);
    return frame;
  }

  const uint8_t op = piece.first ? piece.type : WS_CONTINUATION;
  uint8_t *frame = data - header_size_for(*len);
  frame[0] = static_cast<uint8_t>((piece.last ? WS_FIN : 0) | op);
  if (*len <= WS_LENGTH7_MAX) {
    frame[1] = static_cast<uint8_t>(*len);
  } else if (*len <= 0xFFFF) {
    frame[1] = 126;
    frame[2] = static_cast<uint8_t>(*len >> 8);
    frame[3] = static_cast<uint8_t>(*len);
  } else {
    frame[1] = 127;
    for (int i = 0; i < 8; ++i) {
      frame[2 + i] = static_cast<uint8_t>(*len >> (56 - 8 * i));
    }
  }
  *len += static_cast<uint64_t>(data - frame);
  return frame;
}
