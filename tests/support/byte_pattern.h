// Test data whose every slice shows where it came from.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte `i` of the data stream numbered `stream`: slices of different streams
// or offsets never look alike, so a lost, doubled or moved slice shows.
uint8_t pattern_byte(uint32_t stream, uint64_t i);

// The first `size` bytes of stream `stream`, as any byte container
// (std::string, std::vector<uint8_t>).
template <class Bytes> Bytes byte_pattern(uint32_t stream, size_t size) {
  Bytes data(size, 0);
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<typename Bytes::value_type>(pattern_byte(stream, i));
  return data;
}
