#include "websocket/utf8.h"

#include <cstring>

namespace {

constexpr uint64_t ASCII_MASK = 0x8080808080808080ULL;

// Sets up the continuation bytes that lead byte `byte` asks for; false when
// it can start no character. The narrowed ranges keep out overlong forms
// (0xE0, 0xF0), surrogates (0xED) and code points above U+10FFFF (0xF4).
bool start_character(utf8_state_t &state, uint8_t byte) {
  state.low = 0x80;
  state.high = 0xBF;
  if (byte >= 0xC2 && byte <= 0xDF) {
    state.need = 1;
  } else if (byte >= 0xE0 && byte <= 0xEF) {
    state.need = 2;
    state.low = byte == 0xE0 ? 0xA0 : 0x80;
    state.high = byte == 0xED ? 0x9F : 0xBF;
  } else if (byte >= 0xF0 && byte <= 0xF4) {
    state.need = 3;
    state.low = byte == 0xF0 ? 0x90 : 0x80;
    state.high = byte == 0xF4 ? 0x8F : 0xBF;
  } else {
    return false;
  }
  return true;
}

} // namespace

int64_t utf8_scan(utf8_state_t &state, const uint8_t *data, uint64_t n) {
  uint64_t boundary = 0;
  uint64_t i = 0;
  while (i < n) {
    if (state.need == 0) {
      // Runs of ASCII, the common case, go eight bytes at a time.
      uint64_t word;
      while (n - i >= 8 && (std::memcpy(&word, data + i, 8), (word & ASCII_MASK) == 0)) {
        i += 8;
        boundary = i;
      }
      if (i == n) {
        break;
      }
      const uint8_t byte = data[i++];
      if (byte < 0x80) {
        boundary = i;
      } else if (!start_character(state, byte)) {
        return -1;
      }
      continue;
    }
    const uint8_t byte = data[i++];
    if (byte < state.low || byte > state.high) {
      return -1;
    }
    state.low = 0x80;
    state.high = 0xBF;
    if (--state.need == 0) {
      boundary = i;
    }
  }
  return static_cast<int64_t>(boundary);
}
