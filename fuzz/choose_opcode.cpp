// Typing of payloads from clients that send no types. Each payload is judged
// alone: it goes out as text exactly when its bytes are whole, valid UTF-8
// (RFC 3629: no overlong form, no surrogate, nothing above U+10FFFF; 4-byte
// characters are text), judged by the harnesses' own validator, and as
// binary otherwise. The payloads of one input follow each other, so any
// state kept from one to the next shows as a wrong type.
//
// The input is a run of payloads, each a length byte and that many bytes
// (fewer at the end of the input).
#include "websocket/g_ws.h"

#include "utf8_reference.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (size_t at = 0; at < size;) {
    const size_t n = std::min<size_t>(data[at], size - at - 1);
    // An exact copy, so that a read past the payload is caught.
    std::unique_ptr<uint8_t[]> payload(new uint8_t[n]);
    std::memcpy(payload.get(), data + at + 1, n);
    at += 1 + n;

    const int32_t expected = valid_utf8(payload.get(), n) ? WS_TEXT : WS_BINARY;
    if (choose_opcode(payload.get(), n) != expected)
      abort();
  }
  return 0;
}
