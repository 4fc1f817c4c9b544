// Test helpers for the TLS subsystem: certificates made on the spot, a working
// directory of their own, data patterns and a real OpenSSL client. Kept free of
// socket headers so that tests can include the platform's Winsock names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

struct certificate_options {
  std::string common_name = "relayhub test";
  // CA certificates between the root and the leaf; the file carries them.
  int intermediates = 0;
  // Validity relative to now, in seconds.
  long valid_from = -86400;
  long valid_until = 30L * 86400;
  // When false the file holds a key that does not belong to the leaf.
  bool key_matches = true;
};

struct certificate_files {
  // Leaf, intermediates, then the leaf's private key, all PEM.
  std::string pem;
  // The root that signed the chain, for a client's trust store.
  std::string root;
};

certificate_files make_certificate(const certificate_options &options);
bool write_text_file(const std::string &path, const std::string &text);

// A fresh directory that is the working directory while the object lives.
class scoped_work_directory {
public:
  scoped_work_directory();
  ~scoped_work_directory();
  scoped_work_directory(const scoped_work_directory &) = delete;
  scoped_work_directory &operator=(const scoped_work_directory &) = delete;

  std::string path;

private:
  std::string previous;
};

// Byte `i` of the data stream numbered `stream`: slices of different streams or
// offsets never look alike.
uint8_t pattern_byte(uint32_t stream, uint64_t i);
std::vector<uint8_t> pattern(uint32_t stream, size_t size);

// Whether the descriptor is still open.
bool descriptor_open(int fd);
// Whether SO_LINGER on the descriptor is set to reset the connection at close.
bool linger_resets(int fd);

// The calling thread's system id.
int current_thread_id();
// Waits (10 s at most) until the thread is asleep in the kernel, as a thread
// blocked in a socket call is.
bool wait_until_sleeping(int thread_id);

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
