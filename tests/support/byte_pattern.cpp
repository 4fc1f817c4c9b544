#include "support/byte_pattern.h"

uint8_t pattern_byte(uint32_t stream, uint64_t i) {
  uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(stream) + 1) * 0xC2B2AE3D27D4EB4Full;
  x ^= x >> 29;
  return static_cast<uint8_t>(x);
}
