// UTF-8 as RFC 3629 defines it, for the harnesses, written from the code
// point ranges rather than from byte tables: a byte is refused as soon as no
// character that starts with the bytes so far lies in U+0000..U+10FFFF
// outside the surrogates, in its shortest form.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

class utf8_reference_t {
public:
  // False once the bytes fed so far start no valid text; feed no more then.
  bool feed(uint8_t byte) {
    if (have == need) {
      return start(byte);
    }
    if ((byte & 0xC0) != 0x80) {
      return false;
    }
    value = value << 6 | (byte & 0x3Fu);
    ++have;
    return possible();
  }
  // Whether the bytes fed so far end on a character boundary.
  bool at_boundary() const { return have == need; }

private:
  bool start(uint8_t byte) {
    have = 1;
    if (byte < 0x80) {
      need = 1;
      return true;
    }
    if ((byte & 0xE0) == 0xC0) {
      need = 2;
      value = byte & 0x1Fu;
      least = 0x80;
    } else if ((byte & 0xF0) == 0xE0) {
      need = 3;
      value = byte & 0x0Fu;
      least = 0x800;
    } else if ((byte & 0xF8) == 0xF0) {
      need = 4;
      value = byte & 0x07u;
      least = 0x10000;
    } else {
      return false;
    }
    return possible();
  }

  // Some completion of the character begun is a valid code point.
  bool possible() const {
    const int shift = 6 * (need - have);
    const uint32_t low = std::max(value << shift, least);
    const uint32_t high = std::min((value << shift) | ((1u << shift) - 1), uint32_t{0x10FFFF});
    return low <= high && !(low >= 0xD800 && high <= 0xDFFF);
  }

  uint32_t value = 0;
  uint32_t least = 0;
  int need = 0;
  int have = 0;
};

// Whole, valid UTF-8: every byte accepted and the last character complete.
inline bool valid_utf8(const uint8_t *p, size_t n) {
  utf8_reference_t reader;
  return std::all_of(p, p + n, [&reader](uint8_t byte) { return reader.feed(byte); }) && reader.at_boundary();
}
