// Typing of outgoing payloads on one connection fresh from its handshake.
// A payload may go out as text only when it is complete, valid UTF-8 by
// itself, judged by an independent validator written from RFC 3629. Beyond
// that the documented rule is checked exactly: text also needs no lead byte
// 0xD8 to 0xDF, 0xE0 or 0xF0, and once a payload has gone out binary every
// later one does.
//
// The input is a mode byte, then payloads, each a length byte and that many
// bytes (fewer at the end of the input). Mode 1 or 2 forces that opcode.
#include "websocket/g_ws.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int32_t TEXT = 1;
constexpr int32_t BINARY = 2;

bool valid_utf8(const uint8_t *p, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = p[i];
    size_t count;
    uint32_t cp;
    uint32_t least;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      count = 2;
      cp = lead & 0x1F;
      least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      count = 3;
      cp = lead & 0x0F;
      least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      count = 4;
      cp = lead & 0x07;
      least = 0x10000;
    } else {
      return false;
    }
    if (n - i < count)
      return false;
    for (size_t k = 1; k < count; ++k) {
      if ((p[i + k] & 0xC0) != 0x80)
        return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += count;
  }
  return true;
}

bool has_refused_lead(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if ((p[i] >= 0xD8 && p[i] <= 0xDF) || p[i] == 0xE0 || p[i] == 0xF0)
      return true;
  }
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  g_ws_t ws;
  const int32_t forced = data[0] == TEXT || data[0] == BINARY ? data[0] : 0;
  ws.opcode_forced = forced;
  bool binary = false;
  for (size_t at = 1; at < size;) {
    const size_t n = std::min<size_t>(data[at], size - at - 1);
    // An exact copy, so that a read past the payload is caught.
    std::unique_ptr<uint8_t[]> payload(new uint8_t[n]);
    std::memcpy(payload.get(), data + at + 1, n);
    at += 1 + n;

    const int32_t opcode = ws.choose_opcode(payload.get(), n);
    if (forced != 0) {
      if (opcode != forced)
        abort();
      continue;
    }
    if (opcode == TEXT && !valid_utf8(payload.get(), n))
      abort();
    const bool text = !binary && valid_utf8(payload.get(), n) && !has_refused_lead(payload.get(), n);
    if (opcode != (text ? TEXT : BINARY))
      abort();
    binary = !text;
  }
  return 0;
}
