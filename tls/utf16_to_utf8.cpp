#include "tls/utf16_to_utf8.h"

#include <cstddef>

namespace {

// Room of the UTF-8 path buffer, terminator included.
constexpr size_t UTF8_PATH_BYTES = 65536;

bool is_high_surrogate(uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

uint64_t utf16_to_utf8(char *destination, const char16_t *source) {
  if (destination == nullptr || source == nullptr) {
    return 0;
  }
  size_t at = 0;
  for (;;) {
    uint32_t unit = *source++;
    if (unit == 0) {
      destination[at] = 0;
      return at;
    }
    if (is_low_surrogate(unit)) {
      continue;
    }
    uint32_t code_point = unit;
    if (is_high_surrogate(unit)) {
      uint32_t next = *source;
      if (next == 0) {
        destination[at] = 0;
        return at;
      }
      // A high surrogate without its low half still stands for a code point
      // of its own; the unit after it is converted separately.
      code_point = 0x10000 + ((unit & 0x3FF) << 10);
      if (is_low_surrogate(next)) {
        code_point |= next & 0x3FF;
        ++source;
      }
    }
    uint8_t bytes[4];
    size_t count;
    if (code_point < 0x80) {
      bytes[0] = static_cast<uint8_t>(code_point);
      count = 1;
    } else if (code_point < 0x800) {
      bytes[0] = static_cast<uint8_t>(0xC0 | (code_point >> 6));
      bytes[1] = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
      count = 2;
    } else if (code_point < 0x10000) {
      bytes[0] = static_cast<uint8_t>(0xE0 | (code_point >> 12));
      bytes[1] = static_cast<uint8_t>(0x80 | ((code_point >> 6) & 0x3F));
      bytes[2] = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
      count = 3;
    } else {
      bytes[0] = static_cast<uint8_t>(0xF0 | (code_point >> 18));
      bytes[1] = static_cast<uint8_t>(0x80 | ((code_point >> 12) & 0x3F));
      bytes[2] = static_cast<uint8_t>(0x80 | ((code_point >> 6) & 0x3F));
      bytes[3] = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
      count = 4;
    }
    if (at + count > UTF8_PATH_BYTES) {
      destination[at] = 0;
      return 0;
    }
    for (size_t i = 0; i < count; ++i) {
      destination[at++] = static_cast<char>(bytes[i]);
    }
    if (at == UTF8_PATH_BYTES) {
      destination[UTF8_PATH_BYTES - 1] = 0;
      return 0;
    }
  }
}
