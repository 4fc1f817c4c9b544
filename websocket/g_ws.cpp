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
// The longest payload that the 7-bit length holds; RFC 6455 also limits
// control frame payloads to it.
constexpr uint64_t WS_LENGTH7_MAX = 125;
// Where `encrypt` puts the payload: room for the longest header in front.
constexpr uint64_t WS_PAYLOAD_OFFSET = 10;
constexpr uint64_t WS_PAYLOAD_OFFSET_MAX = 16;
constexpr uint32_t WS_VERSION_RFC6455 = 13;

uint64_t load_be(const uint8_t *p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = value << 8 | p[i];
  }
  return value;
}

// Whole 8-byte words first: the key is laid out twice in wire order and both
// sides are loaded with memcpy, so every byte meets the key byte the bytewise
// rule gives it, on any byte order and alignment.
void unmask(uint8_t *payload, uint64_t length, const uint8_t *key) {
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

} // namespace

g_ws_t::g_ws_t()
    : saved_byte(0), print_handshake(0), upgraded(0), partial(0), more(0), continuation(0), skip(0), opcode_forced(0),
      opcode(1), utf8_pending(3), utf8_fresh(1), version(0) {}

// After the body the members go in reverse order of declaration: `tls` first
// and `crypt`, whose destruction is its reset, last. A reset written here
// would run before the transport is gone.
g_ws_t::~g_ws_t() {
  upgraded = 0;
}

int64_t g_ws_t::decrypt(uint8_t *p, uint64_t len, uint8_t **payload) {
  skip = 0;
  const uint32_t framing = version.load();
  if (framing == 0) {
    return WS_DECODE_CLOSED;
  }
  partial = 0;

  if (framing < WS_VERSION_RFC6455) {
    more = 0;
    if (p[0] != 0x00) {
      return WS_DECODE_BAD_FRAME;
    }
    uint8_t *terminator = len > 1 ? static_cast<uint8_t *>(std::memchr(p + 1, 0xFF, len - 1)) : nullptr;
    if (terminator != nullptr) {
      *terminator = 0x00;
    }
    if (len <= 1 || terminator == p + 1) {
      version = 0;
      return WS_DECODE_CLOSED;
    }
    *payload = p + 1;
    if (terminator == nullptr) {
      partial = 1;
      return static_cast<int64_t>(len);
    }
    const uint64_t i = static_cast<uint64_t>(terminator - p);
    if (i < len - 1) {
      more = 1;
    }
    return static_cast<int64_t>(i);
  }

  if (more) {
    p[0] = saved_byte;
  }
  more = 0;
  if (len == 0 || p[0] == (WS_FIN | WS_CLOSE)) {
    tls.send(CLOSE_REPLY, sizeof(CLOSE_REPLY));
    version = 0;
    return WS_DECODE_CLOSED;
  }
  if (p[0] & WS_RSV) {
    return WS_DECODE_BAD_FRAME;
  }
  const uint8_t op = p[0] & WS_OPCODE;
  const bool fin = (p[0] & WS_FIN) != 0;
  // Pings and pongs are handled here and never relayed; a fragmented control
  // frame, a close frame without FIN and the reserved opcodes end the connection.
  const bool is_control = op == WS_PING || op == WS_PONG;
  if (op > 2) {
    if (!is_control || !fin) {
      return WS_DECODE_REFUSED;
    }
  } else if (op != 0) {
    continuation = !fin;
  } else if (!continuation) {
    return WS_DECODE_STRAY_CONTINUATION;
  }

  if (len < 2) {
    partial = 1;
    return static_cast<int64_t>(len);
  }
  uint64_t length = p[1] & WS_LENGTH;
  if (is_control && length > WS_LENGTH7_MAX) {
    return WS_DECODE_REFUSED;
  }
  uint64_t h = 2;
  if (length == 126) {
    if (len < 4) {
      partial = 1;
      return static_cast<int64_t>(len);
    }
    length = load_be(p + 2, 2);
    h = 4;
  } else if (length == 127) {
    if (len < 10) {
      partial = 1;
      return static_cast<int64_t>(len);
    }
    length = load_be(p + 2, 8);
    h = 10;
  }
  const uint8_t *key = nullptr;
  if (p[1] & WS_MASK) {
    if (len - h < 4) {
      partial = 1;
      return static_cast<int64_t>(len);
    }
    key = p + h;
    h += 4;
  }
  *payload = p + h;
  if (length > len - h) {
    partial = 1;
    return static_cast<int64_t>(len);
  }
  if (key != nullptr) {
    unmask(*payload, length, key);
  }
  if (length < len - h) {
    more = 1;
    saved_byte = (*payload)[length];
  }

  skip = is_control || length == 0;
  if (is_control) {
    if (op == WS_PING) {
      uint8_t pong[2 + WS_LENGTH7_MAX];
      pong[0] = WS_FIN | WS_PONG;
      pong[1] = static_cast<uint8_t>(length);
      std::memcpy(pong + 2, *payload, length);
      tls.send(pong, 2 + length);
    }
  }
  (*payload)[length] = 0x00;
  return static_cast<int64_t>(length);
}

uint8_t *g_ws_t::encrypt(uint8_t *region, uint64_t size, const uint8_t *payload, uint64_t *len) {
  const uint32_t framing = version.load();
  if (region == nullptr || payload == nullptr || *len == 0 || framing == 0) {
    return nullptr;
  }
  const bool older = framing < WS_VERSION_RFC6455;
  // Addresses are compared as integers: the payload normally lies in another
  // slot's buffer, outside the region.
  const uintptr_t distance = reinterpret_cast<uintptr_t>(payload) - reinterpret_cast<uintptr_t>(region);
  const bool stays = distance >= WS_PAYLOAD_OFFSET && distance <= WS_PAYLOAD_OFFSET_MAX;
  const uint64_t offset = stays ? distance : (older ? 1 : WS_PAYLOAD_OFFSET);
  const uint64_t trailer = older ? 1 : 0;
  if (offset + trailer > size || *len > size - offset - trailer) {
    return nullptr;
  }
  uint8_t *data = region + offset;
  if (!stays) {
    std::memmove(data, payload, *len);
  }

  if (older) {
    data[-1] = 0x00;
    data[*len] = 0xFF;
    *len += 2;
    return data - 1;
  }

  const uint8_t first = static_cast<uint8_t>(WS_FIN | choose_opcode(data, *len));
  uint8_t *frame;
  if (*len <= WS_LENGTH7_MAX) {
    frame = data - 2;
    frame[1] = static_cast<uint8_t>(*len);
  } else if (*len <= 0xFFFF) {
    frame = data - 4;
    frame[1] = 126;
    frame[2] = static_cast<uint8_t>(*len >> 8);
    frame[3] = static_cast<uint8_t>(*len);
  } else {
    frame = data - 10;
    frame[1] = 127;
    for (int i = 0; i < 8; ++i) {
      frame[2 + i] = static_cast<uint8_t>(*len >> (56 - 8 * i));
    }
  }
  frame[0] = first;
  *len += static_cast<uint64_t>(data - frame);
  return frame;
}
