// A loopback client, plain or TLS, on a real OpenSSL session. Kept free of
// socket headers so that tests can include the platform's Winsock names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

// A loopback client, plain or TLS. Every blocking call has a 10 s deadline.
class test_client {
public:
  test_client() = default;
  ~test_client();
  test_client(const test_client &) = delete;
  test_client &operator=(const test_client &) = delete;

  bool connect(uint16_t port);
  void limit_receive_buffer(int size);
  // TLS handshake that verifies the server's chain against `root_pem`;
  // `max_version` caps the protocol (TLS1_2_VERSION, TLS1_3_VERSION).
  bool handshake(const std::string &root_pem, int max_version);
  // Number of certificates the server sent.
  int peer_chain_length();

  bool write(const void *data, size_t size);
  bool write(const std::vector<uint8_t> &data) { return write(data.data(), data.size()); }
  // Writes one TLS record per entry and lets them leave in one TCP segment.
  bool write_records(const std::vector<std::vector<uint8_t>> &records);
  bool read_exact(void *buffer, size_t size);
  std::vector<uint8_t> read_exact(size_t size);
  // True when the server ends the connection before anything else arrives.
  bool reads_end();
  // Sends close_notify.
  bool close_notify();
  // Writes `out` while reading `in_size` bytes into `in`, on one thread with a
  // non-blocking socket; with `key_update_every` > 0 (TLS 1.3) it asks the
  // server for a key update after every that many bytes written.
  bool exchange(const std::vector<uint8_t> &out, size_t in_size, std::vector<uint8_t> &in, size_t key_update_every);
  void close();

  int fd = -1;
  ssl_ctx_st *ctx = nullptr;
  ssl_st *ssl = nullptr;
};
