// Checks on bytes taken off a TLS connection's socket, below the TLS layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Whether `bytes` is a run of TLS records (content type 20 to 24, version
// 0x0303, a length a peer may send) from its first byte on. The last record
// may be cut short where the connection ended. `why` names the first fault.
bool only_tls_records(const uint8_t *bytes, size_t size, std::string &why);
