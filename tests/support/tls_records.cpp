#include "support/tls_records.h"

namespace {

constexpr size_t RECORD_HEADER = 5;
// RFC 8446 section 5.2: a protected record carries at most 2^14 + 256 bytes.
constexpr size_t RECORD_BODY_MAX = 16384 + 256;

} // namespace

bool only_tls_records(const uint8_t *bytes, size_t size, std::string &why) {
  size_t at = 0;
  while (at + RECORD_HEADER <= size) {
    const uint8_t *header = bytes + at;
    const size_t length = static_cast<size_t>(header[3]) << 8 | header[4];
    if (header[0] < 20 || header[0] > 24 || header[1] != 3 || header[2] != 3 || length > RECORD_BODY_MAX) {
      why = "no record header at byte " + std::to_string(at) + " of " + std::to_string(size);
      return false;
    }
    at += RECORD_HEADER + length;
  }
  return true;
}
