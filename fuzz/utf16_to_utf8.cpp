// UTF-16 paths to UTF-8, against an independent conversion written from
// RFC 3629 and the UTF-16 rules, with the function's own treatment of
// unpaired surrogates: a lone low surrogate is skipped, a high surrogate
// followed by anything but a low one stands for the code point with a low
// half of zero, and a high surrogate at the end is dropped.
//
// The input is little-endian code units. When its first byte is 0xFF the
// rest is repeated until it reaches a length taken from the next two bytes,
// between 16384 and 81919 units, so that the 65536-byte limit of the
// destination is reached too.
#include "tls/utf16_to_utf8.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t DESTINATION_BYTES = 65536;
constexpr uint8_t REPEAT_MODE = 0xFF;
constexpr size_t REPEAT_BASE = 16384;

std::u16string units(const uint8_t *data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0)
      break;
    text += unit;
  }
  return text;
}

// Code points in order, as the function is to read them.
std::vector<uint32_t> code_points(const std::u16string &text) {
  std::vector<uint32_t> points;
  points.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t unit = text[i];
    if (unit >= 0xDC00 && unit <= 0xDFFF)
      continue;
    if (unit < 0xD800 || unit > 0xDBFF) {
      points.push_back(unit);
      continue;
    }
    if (i + 1 == text.size())
      break;
    const uint32_t next = text[i + 1];
    const uint32_t high = (unit - 0xD800) << 10;
    if (next >= 0xDC00 && next <= 0xDFFF) {
      points.push_back(0x10000 + high + (next - 0xDC00));
      ++i;
    } else {
      points.push_back(0x10000 + high);
    }
  }
  return points;
}

// RFC 3629 section 3.
std::string utf8(const std::vector<uint32_t> &points) {
  std::string out;
  out.reserve(4 * points.size());
  for (uint32_t cp : points) {
    if (cp <= 0x7F) {
      out += static_cast<char>(cp);
    } else if (cp <= 0x7FF) {
      out += static_cast<char>(0xC0 + cp / 64);
      out += static_cast<char>(0x80 + cp % 64);
    } else if (cp <= 0xFFFF) {
      out += static_cast<char>(0xE0 + cp / 4096);
      out += static_cast<char>(0x80 + cp / 64 % 64);
      out += static_cast<char>(0x80 + cp % 64);
    } else {
      out += static_cast<char>(0xF0 + cp / 262144);
      out += static_cast<char>(0x80 + cp / 4096 % 64);
      out += static_cast<char>(0x80 + cp / 64 % 64);
      out += static_cast<char>(0x80 + cp % 64);
    }
  }
  return out;
}

std::u16string source_text(const uint8_t *data, size_t size) {
  if (size < 3 || data[0] != REPEAT_MODE)
    return units(data + (size != 0), size - (size != 0));
  const size_t target = REPEAT_BASE + (data[1] | data[2] << 8);
  const std::u16string piece = units(data + 3, size - 3);
  if (piece.empty())
    return piece;
  std::u16string text;
  text.reserve(target + piece.size());
  while (text.size() < target)
    text += piece;
  text.resize(target);
  return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::u16string text = source_text(data, size);
  const std::string expected = utf8(code_points(text));

  // Exact sizes, so that reading past the terminator or writing past the
  // 65536 bytes is caught.
  std::unique_ptr<char16_t[]> source(new char16_t[text.size() + 1]);
  std::memcpy(source.get(), text.c_str(), (text.size() + 1) * sizeof(char16_t));
  std::unique_ptr<char[]> destination(new char[DESTINATION_BYTES]);
  std::memset(destination.get(), 'x', DESTINATION_BYTES);

  const uint64_t result = utf16_to_utf8(destination.get(), source.get());
  const size_t length = strnlen(destination.get(), DESTINATION_BYTES);
  if (length == DESTINATION_BYTES)
    abort();
  if (expected.size() < DESTINATION_BYTES) {
    if (result != expected.size() || length != expected.size() ||
        std::memcmp(destination.get(), expected.data(), length) != 0)
      abort();
  } else if (result != 0) {
    abort();
  }
  return 0;
}
