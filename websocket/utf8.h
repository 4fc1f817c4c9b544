// UTF-8 checking that can be fed a text in pieces cut anywhere (RFC 3629):
// overlong forms, surrogates and code points above U+10FFFF are refused.
#pragma once

#include <cstdint>

// Where the check stands between two pieces: the continuation bytes still
// expected and the range the next one must lie in.
struct utf8_state_t {
  uint8_t need{};
  uint8_t low{0x80};
  uint8_t high{0xBF};
};

// Checks `n` more bytes. -1 when they are not UTF-8; otherwise the index just
// past the last character that they complete (0 when they complete none).
int64_t utf8_scan(utf8_state_t &state, const uint8_t *data, uint64_t n);
