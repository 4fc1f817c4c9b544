#include "relay/detect.h"

#include <cstring>

namespace {

constexpr uint8_t TLS_HANDSHAKE_RECORD = 0x16;
constexpr uint8_t TLS_CLIENT_HELLO = 0x01;
constexpr size_t TLS_MESSAGE_TYPE_AT = 5;
constexpr char REQUEST_START[] = "GET ";
constexpr size_t REQUEST_START_SIZE = sizeof(REQUEST_START) - 1;

} // namespace

first_bytes_t detect(const uint8_t *bytes, size_t n) {
  if (n == 0)
    return first_bytes_t::undecided;
  if (bytes[0] == TLS_HANDSHAKE_RECORD) {
    if (n <= TLS_MESSAGE_TYPE_AT)
      return first_bytes_t::undecided;
    return bytes[TLS_MESSAGE_TYPE_AT] == TLS_CLIENT_HELLO ? first_bytes_t::tls : first_bytes_t::raw;
  }
  const size_t compared = n < REQUEST_START_SIZE ? n : REQUEST_START_SIZE;
  if (memcmp(bytes, REQUEST_START, compared) != 0)
    return first_bytes_t::raw;
  return compared == REQUEST_START_SIZE ? first_bytes_t::websocket_request : first_bytes_t::undecided;
}
