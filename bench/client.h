// One benchmark client on loopback: a TCP connection, with TLS and the
// RFC 6455 opening handshake when its protocol needs them. Blocking with
// time-outs while it opens; a receiver then switches to non-blocking reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <openssl/ssl.h>

enum class protocol_t { raw, tls, ws, wss };

// 0 and the protocol named `name` (raw, tls, ws, wss), or -1.
int parse_protocol(const char *name, protocol_t *protocol);
bool over_tls(protocol_t protocol);
bool websocket(protocol_t protocol);

class client {
public:
  client() = default;
  ~client();
  client(const client &) = delete;
  client &operator=(const client &) = delete;

  // Connects to 127.0.0.1:`port` and runs the handshakes `protocol` needs,
  // with `ctx` for TLS. 0, or -1 with `error` set.
  int open(protocol_t protocol, uint16_t port, SSL_CTX *ctx);
  // Writes all `n` bytes. 0, or -1 (also after the 10 s send time-out).
  int write_all(const uint8_t *p, size_t n);
  // Reads what is there: a count, 0 when a read would wait, -1 at the end
  // of the connection or on a failure.
  int64_t read_some(uint8_t *p, size_t capacity);
  int set_nonblocking();
  int fd() const { return socket_fd; }
  // The TLS cipher suite in use, or "none".
  const char *cipher() const;

  std::string error;

private:
  int upgrade(uint16_t port);
  int read_response_head(std::string &head);

  int socket_fd = -1;
  SSL *ssl = nullptr;
};
