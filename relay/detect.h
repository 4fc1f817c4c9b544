// What a new connection speaks, decided from the first bytes it offers.
#pragma once

#include <cstddef>
#include <cstdint>

enum class first_bytes_t {
  // Too few bytes to tell: a prefix of a ClientHello record or of "GET ".
  undecided,
  // A TLS handshake record (0x16) whose message is a ClientHello (0x01).
  tls,
  // An HTTP request that may open a WebSocket.
  websocket_request,
  raw,
};

// Looks at most at the first six bytes of `n`; bytes 1 to 4 of a TLS record
// (version and length) are not examined.
first_bytes_t detect(const uint8_t *bytes, size_t n);

// Bytes the detection needs at the most.
inline constexpr size_t DETECT_BYTES = 6;
