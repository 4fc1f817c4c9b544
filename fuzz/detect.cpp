// First-bytes detection. Every prefix of an input is undecided or decided as
// the whole input is, six bytes always decide, and no byte past `n` is read:
// each call gets a heap copy of exactly `n` bytes, so an over-read is seen by
// AddressSanitizer.
#include "relay/detect.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

first_bytes_t detect_copy(const uint8_t *data, size_t n) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
  std::memcpy(copy.get(), data, n);
  return detect(copy.get(), n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const first_bytes_t whole = detect_copy(data, size);
  if (size >= DETECT_BYTES && whole == first_bytes_t::undecided)
    abort();
  // Past the first bytes a longer prefix adds nothing to check.
  const size_t longest = std::min(size, 2 * DETECT_BYTES);
  for (size_t n = 0; n <= longest; ++n) {
    const first_bytes_t part = detect_copy(data, n);
    if (part != first_bytes_t::undecided && part != whole)
      abort();
  }
  return 0;
}
