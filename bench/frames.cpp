#include "frames.h"

#include <cstring>

namespace {

constexpr uint8_t FIN = 0x80;
constexpr uint8_t RESERVED_BITS = 0x70;
constexpr uint8_t OPCODE_BITS = 0x0F;
constexpr uint8_t OPCODE_BINARY = 0x2;
constexpr uint8_t OPCODE_CLOSE = 0x8;
constexpr uint8_t OPCODE_PING = 0x9;
constexpr uint8_t OPCODE_PONG = 0xA;
constexpr uint8_t MASKED = 0x80;
constexpr uint8_t LENGTH_BITS = 0x7F;
constexpr uint8_t LENGTH_16 = 126;
constexpr uint8_t LENGTH_64 = 127;

// Header bytes before the payload, once its first two bytes are known.
size_t header_length(uint8_t second_byte) {
  const uint8_t length = second_byte & LENGTH_BITS;
  const size_t extended = length == LENGTH_16 ? 2 : (length == LENGTH_64 ? 8 : 0);
  return 2 + extended + ((second_byte & MASKED) != 0 ? 4 : 0);
}

} // namespace

size_t ws_frame_size(size_t payload_size) {
  const size_t extended = payload_size < LENGTH_16 ? 0 : (payload_size <= 0xFFFF ? 2 : 8);
  return 2 + extended + 4 + payload_size;
}

size_t ws_frame_header(uint8_t *out, size_t payload_size, uint32_t mask) {
  size_t at = 0;
  out[at++] = FIN | OPCODE_BINARY;
  if (payload_size < LENGTH_16) {
    out[at++] = MASKED | static_cast<uint8_t>(payload_size);
  } else if (payload_size <= 0xFFFF) {
    out[at++] = MASKED | LENGTH_16;
    out[at++] = static_cast<uint8_t>(payload_size >> 8);
    out[at++] = static_cast<uint8_t>(payload_size);
  } else {
    out[at++] = MASKED | LENGTH_64;
    for (int shift = 56; shift >= 0; shift -= 8)
      out[at++] = static_cast<uint8_t>(static_cast<uint64_t>(payload_size) >> shift);
  }
  memcpy(out + at, &mask, sizeof(mask));
  return at + sizeof(mask);
}

void ws_mask(uint8_t *payload, size_t n, uint32_t mask) {
  // The key as stored on the wire, repeated over eight bytes.
  const uint64_t wide = static_cast<uint64_t>(mask) | static_cast<uint64_t>(mask) << 32;
  size_t i = 0;
  for (; i + sizeof(wide) <= n; i += sizeof(wide)) {
    uint64_t word;
    memcpy(&word, payload + i, sizeof(word));
    word ^= wide;
    memcpy(payload + i, &word, sizeof(word));
  }
  const auto *key = reinterpret_cast<const uint8_t *>(&mask);
  for (; i < n; ++i)
    payload[i] ^= key[i % 4];
}

bool ws_frame_reader::feed(const uint8_t *p, size_t n, uint64_t now_ns, record_stream &records, window_tally &tally) {
  for (;;) {
    if (payload_left > 0) {
      if (n == 0)
        return true;
      const size_t take = n < payload_left ? n : static_cast<size_t>(payload_left);
      if (data && !records.feed(p, take, now_ns, tally))
        return false;
      payload_left -= take;
      p += take;
      n -= take;
      continue;
    }
    const size_t wanted = header_size < 2 ? 2 : header_length(header[1]);
    if (header_size == wanted) {
      if (!start_payload())
        return false;
      continue;
    }
    if (n == 0)
      return true;
    const size_t take = n < wanted - header_size ? n : wanted - header_size;
    memcpy(header + header_size, p, take);
    header_size += take;
    p += take;
    n -= take;
  }
}

bool ws_frame_reader::start_payload() {
  const size_t full = header_size;
  header_size = 0;
  if ((header[0] & RESERVED_BITS) != 0 || (header[1] & MASKED) != 0) {
    fault = "a masked frame or one with reserved bits from the server";
    return false;
  }
  const uint8_t opcode = header[0] & OPCODE_BITS;
  if (opcode == OPCODE_CLOSE) {
    fault = "a close frame from the server";
    return false;
  }
  if (opcode > OPCODE_BINARY && opcode != OPCODE_PING && opcode != OPCODE_PONG) {
    fault = "a frame with a reserved opcode";
    return false;
  }
  data = opcode <= OPCODE_BINARY;
  const uint8_t length = header[1] & LENGTH_BITS;
  payload_left = length;
  if (length == LENGTH_16 || length == LENGTH_64) {
    payload_left = 0;
    for (size_t i = 2; i < full; ++i)
      payload_left = payload_left << 8 | header[i];
  }
  return true;
}
