// A loopback TCP client for tests: every read has a deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class tcp_client {
public:
  tcp_client() = default;
  ~tcp_client() { close(); }
  tcp_client(tcp_client &&other) noexcept : fd(other.fd) { other.fd = -1; }
  tcp_client(const tcp_client &) = delete;
  tcp_client &operator=(const tcp_client &) = delete;

  // Connects to 127.0.0.1:`port`; a nonzero `receive_buffer` fixes the
  // socket's receive buffer (a small one makes a stalled reader block early).
  bool connect(uint16_t port, int receive_buffer = 0);
  bool send_all(const void *data, size_t size);
  bool send_text(const std::string &text) { return send_all(text.data(), text.size()); }
  // Reads exactly `size` bytes unless the deadline passes or the peer ends.
  bool recv_exact(void *buffer, size_t size, int timeout_ms);
  std::string recv_exact(size_t size, int timeout_ms);
  // Whatever arrives until 100 ms of silence or `max_ms` in all, once a first
  // byte came within `timeout_ms`; the empty string when none came.
  std::string recv_some(int timeout_ms, int max_ms = 5000);
  // True when the peer closed the connection within the deadline.
  bool wait_closed(int timeout_ms);
  void close();
  // Ends with a reset instead of an orderly close.
  void reset();

  int fd = -1;
};

// The send buffer size (SO_SNDBUF) of descriptor `fd` as Linux reports it,
// or -1.
int linux_send_buffer(int fd);
