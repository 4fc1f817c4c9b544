#include "websocket/g_ws.h"

// RFC 6455 lets a client fail the connection on a text frame that is not
// valid UTF-8, and frames are never reassembled here, so a payload goes out as
// text only when it is complete, valid UTF-8 by itself. Every other payload
// turns the connection binary for good. The scan is also stricter than UTF-8
// on the lead bytes 0xD8 to 0xDF, 0xE0 and 0xF0, which always mean binary.
//
// The scan state still carries over from one payload to the next, but a text
// payload always ends on a character boundary (`utf8_pending` 0): a character
// split between payloads makes the first one binary. What reaches the next
// payload is therefore only `utf8_fresh`, which lets the first payload after a
// handshake begin with any character, and the sticky binary opcode.
int32_t g_ws_t::choose_opcode(const uint8_t *payload, uint64_t n) {
  if (opcode_forced != 0) {
    opcode = opcode_forced;
    return opcode;
  }
  if (opcode != 1) {
    return opcode;
  }
  // Highest byte allowed next: 0xED and 0xF4 narrow their first continuation
  // byte to keep out surrogates and code points above U+10FFFF.
  uint8_t next_max = 0xBF;
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t byte = payload[i];
    const bool mid_sequence = utf8_fresh == 0 && utf8_pending != 0;
    bool valid = true;
    if (byte <= 0x7F) {
      valid = !mid_sequence;
      utf8_pending = 0;
      utf8_fresh = 0;
    } else if (byte <= 0xBF) {
      valid = utf8_fresh == 0 && utf8_pending > 0 && byte <= next_max;
      --utf8_pending;
      next_max = 0xBF;
    } else if (byte <= 0xC1 || (byte >= 0xD8 && byte <= 0xE0) || byte == 0xF0 || byte >= 0xF5) {
      valid = false;
    } else {
      valid = !mid_sequence;
      utf8_pending = byte <= 0xD7 ? 1 : (byte <= 0xEF ? 2 : 3);
      utf8_fresh = 0;
      next_max = byte == 0xED ? 0x9F : (byte == 0xF4 ? 0x8F : 0xBF);
    }
    if (!valid) {
      opcode = 2;
      return 2;
    }
  }
  if (utf8_fresh == 0 && utf8_pending != 0) {
    opcode = 2;
    return 2;
  }
  return 1;
}
