// What the harnesses share: a failed property ends the run as a finding, and
// the fuzzer's input is read byte by byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace fuzz {

using bytes = std::vector<uint8_t>;

inline void require(bool property) {
  if (!property)
    abort();
}

// The input read byte by byte; 0 past its end.
class input_t {
public:
  input_t(const uint8_t *data, size_t size) : at(data), end(data + size) {}
  bool empty() const { return at == end; }
  uint8_t next() { return at == end ? 0 : *at++; }
  bytes take(size_t n) {
    const size_t m = std::min<size_t>(n, static_cast<size_t>(end - at));
    bytes out(at, at + m);
    at += m;
    return out;
  }
  bytes rest() { return take(static_cast<size_t>(end - at)); }

private:
  const uint8_t *at;
  const uint8_t *end;
};

} // namespace fuzz
