// The opening request as the relay reads and answers it.
//
// The request reader, fed the bytes in two reads cut where the input's first
// byte says, ends a request just after the first "\r\n\r\n", 8 bytes later
// for a request whose head has a Sec-WebSocket-Key1 header (at a line start);
// a head that does not end within its limit is too large, and a request is
// unfit only when a header the answer reads is longer than a kept line.
//
// The handshake gets what the reader kept, with the NUL behind it, and a
// zero-filled 2048-byte response buffer. A response is absent (0 or less) or
// starts with "HTTP/1.1 101" and ends its header with a blank line, with no
// NUL in the header; the older form's 16-byte answer follows the blank line;
// nothing past the response is written. For a request that carries one
// Sec-WebSocket-Key header at a line start, with a base64 value on that
// line, the accept value is base64(SHA-1(key + GUID)), computed here with
// libcrypto.
#include "websocket/g_ws.h"
#include "websocket/opening_request.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr uint64_t DRAFT76_ANSWER = 16;
constexpr uint64_t DRAFT76_KEY_BYTES = 8;
constexpr uint32_t VERSION_DRAFT76 = 8;
constexpr std::string_view GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::string_view HEAD_END = "\r\n\r\n";

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Header names match in any case: the text is compared in lower case.
std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lower);
  return out;
}

size_t count_of(const std::string &text, std::string_view name) {
  size_t count = 0;
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1))
    ++count;
  return count;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

uint64_t expected_length(std::string_view bytes) {
  const size_t end = bytes.find(HEAD_END);
  if (end == std::string_view::npos)
    return 0;
  const uint64_t head = end + HEAD_END.size();
  const bool older = lowered(bytes.substr(0, head)).find("\nsec-websocket-key1:") != std::string::npos;
  const uint64_t length = older ? head + DRAFT76_KEY_BYTES : head;
  return length <= bytes.size() ? length : 0;
}

bool is_base64(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
}

// The key as a client wrote it, when nothing else in the request could be
// taken for it: one key header, at a line start, blanks, a base64 value and
// the line's end.
std::optional<std::string> sole_key(std::string_view request) {
  constexpr std::string_view name = "sec-websocket-key:";
  const std::string text = lowered(request);
  if (count_of(text, name) != 1)
    return std::nullopt;
  const size_t at = text.find(name);
  if (at < 2 || request.substr(at - 2, 2) != "\r\n")
    return std::nullopt;
  size_t start = at + name.size();
  while (start < request.size() && (request[start] == ' ' || request[start] == '\t'))
    ++start;
  size_t end = start;
  while (end < request.size() && is_base64(request[end]))
    ++end;
  if (end == start || request.substr(end, 2) != "\r\n")
    return std::nullopt;
  return std::string(request.substr(start, end - start));
}

std::string accept_for(const std::string &key) {
  const std::string joined = key + std::string(GUID);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(joined.data()), joined.size(), digest);
  unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<const char *>(encoded), static_cast<size_t>(length));
}

void check_response(std::string_view request, const g_ws_t &ws, const char *response, int64_t length) {
  for (uint64_t i = length > 0 ? static_cast<uint64_t>(length) : 0; i < WS_HEADER_SERVER_SIZE; ++i) {
    if (response[i] != 0)
      abort();
  }
  if (length <= 0)
    return;
  if (static_cast<uint64_t>(length) > WS_HEADER_SERVER_SIZE)
    abort();
  const uint64_t answer = ws.version == VERSION_DRAFT76 ? DRAFT76_ANSWER : 0;
  if (static_cast<uint64_t>(length) < answer)
    abort();
  const std::string_view header(response, static_cast<size_t>(length) - answer);
  if (!starts_with(header, "HTTP/1.1 101") || !ends_with(header, HEAD_END) || header.find('\0') != header.npos)
    abort();
  const std::optional<std::string> key = sole_key(request);
  if (key && header.find("\r\nSec-WebSocket-Accept: " + accept_for(*key) + "\r\n") == header.npos)
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  const size_t cut = data[0];
  ++data;
  --size;
  // An exact copy, so that a read past the bytes is caught.
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
  std::copy(data, data + size, bytes.get());
  ws_request_t request;
  const size_t first = std::min(cut, size);
  uint64_t used = request.read(bytes.get(), first);
  used += request.read(bytes.get() + first, size - first);

  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const uint64_t length = expected_length(text);
  const size_t head_end = text.find(HEAD_END);
  const bool too_large = head_end == std::string_view::npos ? size >= WS_REQUEST_HEAD_MAX
                                                            : head_end + HEAD_END.size() > WS_REQUEST_HEAD_MAX;
  switch (request.state()) {
  case request_state_t::whole:
    if (too_large || length == 0 || used != length || request.kept()[request.kept_size()] != 0)
      abort();
    break;
  case request_state_t::too_large:
    if (!too_large)
      abort();
    return 0;
  case request_state_t::partial:
    if (length != 0 || too_large || used != size)
      abort();
    return 0;
  case request_state_t::unfit:
    if (too_large)
      abort();
    return 0;
  }

  std::unique_ptr<char[]> response(new char[WS_HEADER_SERVER_SIZE]());
  g_ws_t ws;
  const int64_t answered = ws.handshake(request.kept(), request.kept_size(), response.get());
  check_response(text.substr(0, length), ws, response.get(), answered);
  return 0;
}
