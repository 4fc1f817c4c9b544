#include <algorithm>
#include <cstring>

#include "shell/console.h"
#include "websocket/g_ws.h"

namespace {

constexpr char KEY_HEADER[] = "Sec-WebSocket-Key:";
constexpr char PROTOCOL_HEADER[] = "Sec-WebSocket-Protocol:";
constexpr char KEY1_HEADER[] = "Sec-WebSocket-Key1:";
constexpr char KEY2_HEADER[] = "Sec-WebSocket-Key2:";
constexpr char ORIGIN_HEADER[] = "Origin:";
constexpr char HOST_HEADER[] = "Host:";
constexpr char WS_GUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr uint64_t WS_GUID_LENGTH = sizeof(WS_GUID) - 1;

constexpr char RESPONSE_RFC6455[] = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: "
                                    "Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n";
constexpr char RESPONSE_DRAFT76[] = "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: "
                                    "Upgrade\r\nSec-WebSocket-Origin: %s\r\nSec-WebSocket-Location: "
                                    "ws://%s/\r\nSec-WebSocket-Protocol: dumb-increment-protocol\r\n\r\n";
constexpr char PROTOCOL_LINE[] = "Sec-WebSocket-Protocol: ";
constexpr uint64_t PROTOCOL_LINE_LENGTH = sizeof(PROTOCOL_LINE) - 1;

constexpr uint64_t SHA1_LENGTH = 20;
constexpr uint64_t MD5_LENGTH = 16;
// Draft-76 working fields: at most 127 bytes and a NUL.
constexpr uint64_t FIELD_SIZE = 128;

// Blanks, control bytes, line ends and every byte of 0x80 and above.
bool is_separator(uint8_t byte) {
  return static_cast<int8_t>(byte) <= 32;
}

uint8_t lower(uint8_t byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<uint8_t>(byte + ('a' - 'A')) : byte;
}

// Whether the `n` bytes at `at` begin with header `name`. Names are matched
// without regard to case (RFC 7230 section 3.2), as proxies send them in
// lower case.
bool is_named(const uint8_t *at, uint64_t n, const char *name) {
  const uint64_t length = std::strlen(name);
  if (n < length)
    return false;
  uint64_t i = 0;
  while (i < length && lower(at[i]) == lower(static_cast<uint8_t>(name[i])))
    ++i;
  return i == length;
}

// The index just past the first header `name` in the first `n` bytes, or -1.
// A header starts a line: a name inside another header's name or value (an
// X-Forwarded-Host, a cookie) is not it.
int64_t find_header(const uint8_t *request, uint64_t n, const char *name) {
  const uint64_t length = std::strlen(name);
  for (uint64_t at = 1; at + length <= n; ++at) {
    if (request[at - 1] == '\n' && is_named(request + at, n - at, name))
      return static_cast<int64_t>(at + length);
  }
  return -1;
}

// The index just past the blanks after header `name`, at most `n`; -1 when
// the request does not hold the header.
int64_t value_start(const uint8_t *request, uint64_t n, const char *name) {
  const int64_t end = find_header(request, n, name);
  if (end < 0) {
    return -1;
  }
  uint64_t i = static_cast<uint64_t>(end);
  while (i < n && is_separator(request[i])) {
    ++i;
  }
  return static_cast<int64_t>(i);
}

// The byte at `start` always belongs to the token, even at the end of the
// request, where it is the caller's NUL.
uint64_t token_length(const uint8_t *request, uint64_t n, uint64_t start, bool comma_ends) {
  uint64_t m = 1;
  while (start + m < n && !is_separator(request[start + m]) && !(comma_ends && request[start + m] == ',')) {
    ++m;
  }
  return m;
}

// Copies the value up to its '\r' into `field`. False when it does not fit.
bool copy_line(const uint8_t *request, uint64_t n, uint64_t start, char *field) {
  uint64_t end = start;
  while (end < n && request[end] != '\r') {
    ++end;
  }
  if (end - start >= FIELD_SIZE) {
    return false;
  }
  std::memcpy(field, request + start, end - start);
  field[end - start] = '\0';
  return true;
}

// Collects the digits of a draft-76 key into `digits` and counts its spaces.
// False when there are more digits than the field holds.
bool scan_key(const uint8_t *request, uint64_t n, uint64_t start, char *digits, uint32_t *spaces) {
  uint64_t count = 0;
  *spaces = 0;
  for (uint64_t i = start; i < n && request[i] != '\r'; ++i) {
    if (request[i] == ' ') {
      ++*spaces;
    } else if (request[i] >= '0' && request[i] <= '9') {
      if (count == FIELD_SIZE - 1) {
        return false;
      }
      digits[count++] = static_cast<char>(request[i]);
    }
  }
  digits[count] = '\0';
  return true;
}

uint32_t saturated_number(const char *digits) {
  uint32_t value = 0;
  for (; *digits != '\0'; ++digits) {
    const uint32_t digit = static_cast<uint32_t>(*digits - '0');
    if (value > (UINT32_MAX - digit) / 10) {
      return UINT32_MAX;
    }
    value = value * 10 + digit;
  }
  return value;
}

void put_be32(uint8_t *out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

} // namespace

int64_t g_ws_t::handshake(const uint8_t *request, uint64_t n, char *c_header_server) {
  const int64_t key = value_start(request, n, KEY_HEADER);
  if (key >= 0) {
    version = 13;
    const uint64_t k = static_cast<uint64_t>(key);
    const uint64_t key_length = token_length(request, n, k, false);

    // A failing hash step has reported itself; the response still goes out,
    // with an empty accept value.
    char accept[29] = {};
    crypt.init(G_CRYPT_SHA1);
    if (crypt.ready && crypt.hash(0, request + k, key_length) == 0 && crypt.ready &&
        crypt.hash(0, reinterpret_cast<const uint8_t *>(WS_GUID), WS_GUID_LENGTH) == 0 && crypt.finish() == 0) {
      base64_encode(crypt.txt_hashes[0], static_cast<int64_t>(std::min<uint64_t>(crypt.txt_length, SHA1_LENGTH)),
                    accept);
      crypt.reset();
    }

    const int64_t r = asprint(c_header_server, WS_HEADER_SERVER_SIZE, RESPONSE_RFC6455, accept);
    const int64_t protocol = find_header(request, n, PROTOCOL_HEADER);
    if (protocol < 0) {
      return r;
    }
    // An empty value names no protocol: the response then has no line for it.
    uint64_t t = static_cast<uint64_t>(protocol);
    while (t < n && (request[t] == ' ' || request[t] == '\t')) {
      ++t;
    }
    if (t == n || is_separator(request[t]) || request[t] == ',') {
      return r;
    }
    const int64_t m = static_cast<int64_t>(token_length(request, n, t, true));
    if (r < 0 || m >= static_cast<int64_t>(WS_HEADER_SERVER_SIZE) - 27 - r) {
      return r;
    }
    // The protocol line replaces the final empty line and brings its own.
    char *out = c_header_server + r - 2;
    std::memcpy(out, PROTOCOL_LINE, PROTOCOL_LINE_LENGTH);
    out += PROTOCOL_LINE_LENGTH;
    std::memcpy(out, request + t, static_cast<uint64_t>(m));
    out += m;
    std::memcpy(out, "\r\n\r\n", 5);
    return r + m + 26;
  }

  const int64_t key1 = value_start(request, n, KEY1_HEADER);
  const int64_t key2 = value_start(request, n, KEY2_HEADER);
  const int64_t origin = value_start(request, n, ORIGIN_HEADER);
  const int64_t host = value_start(request, n, HOST_HEADER);
  if (key1 < 0 || key2 < 0 || origin < 0 || host < 0) {
    return 0;
  }
  // Values longer than the fields are refused rather than cut: a cut Origin
  // or Host would only be rejected by the client, and a cut key is wrong.
  char origin_field[FIELD_SIZE];
  char host_field[FIELD_SIZE];
  char key1_digits[FIELD_SIZE];
  char key2_digits[FIELD_SIZE];
  uint32_t spaces1 = 0;
  uint32_t spaces2 = 0;
  if (!copy_line(request, n, static_cast<uint64_t>(origin), origin_field) ||
      !copy_line(request, n, static_cast<uint64_t>(host), host_field) ||
      !scan_key(request, n, static_cast<uint64_t>(key1), key1_digits, &spaces1) ||
      !scan_key(request, n, static_cast<uint64_t>(key2), key2_digits, &spaces2)) {
    return 0;
  }
  if (spaces1 == 0 || spaces2 == 0) {
    return 0;
  }

  // The four header names alone are longer than 8 bytes, so the request
  // always holds the 8 key bytes at its end.
  uint8_t challenge[16];
  put_be32(challenge, saturated_number(key1_digits) / spaces1);
  put_be32(challenge + 4, saturated_number(key2_digits) / spaces2);
  std::memcpy(challenge + 8, request + n - 8, 8);

  uint8_t digest[MD5_LENGTH + 1] = {};
  crypt.init(G_CRYPT_MD5);
  if (crypt.ready && crypt.hash(0, challenge, sizeof(challenge)) == 0 && crypt.finish() == 0) {
    std::memcpy(digest, crypt.txt_hashes[0], std::min<uint64_t>(crypt.txt_length, MD5_LENGTH));
    crypt.reset();
  }
  version = 8;

  const int64_t r = asprint(c_header_server, WS_HEADER_SERVER_SIZE, RESPONSE_DRAFT76, origin_field, host_field);
  if (r < 0) {
    return 0;
  }
  std::memcpy(c_header_server + r, digest, sizeof(digest));
  return r + static_cast<int64_t>(MD5_LENGTH);
}

header_use_t header_use(const uint8_t *line, uint64_t n) {
  if (is_named(line, n, KEY1_HEADER))
    return header_use_t::key1;
  for (const char *name : {KEY_HEADER, KEY2_HEADER, PROTOCOL_HEADER, ORIGIN_HEADER, HOST_HEADER}) {
    if (is_named(line, n, name))
      return header_use_t::read;
  }
  return header_use_t::none;
}

int64_t base64_encode(const uint8_t *input, int64_t length, char *out) {
  static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (length <= 0) {
    out[0] = '\0';
    return 0;
  }
  int64_t written = 0;
  int64_t i = 0;
  for (; length - i >= 3; i += 3) {
    const uint32_t group =
        static_cast<uint32_t>(input[i]) << 16 | static_cast<uint32_t>(input[i + 1]) << 8 | input[i + 2];
    out[written++] = ALPHABET[group >> 18];
    out[written++] = ALPHABET[(group >> 12) & 0x3F];
    out[written++] = ALPHABET[(group >> 6) & 0x3F];
    out[written++] = ALPHABET[group & 0x3F];
  }
  if (length - i > 0) {
    const bool two = length - i == 2;
    const uint32_t group = static_cast<uint32_t>(input[i]) << 16 | (two ? static_cast<uint32_t>(input[i + 1]) << 8 : 0);
    out[written++] = ALPHABET[group >> 18];
    out[written++] = ALPHABET[(group >> 12) & 0x3F];
    out[written++] = two ? ALPHABET[(group >> 6) & 0x3F] : '=';
    out[written++] = '=';
  }
  out[written] = '\0';
  return written;
}
