#include "support/tls_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

constexpr int CLIENT_TIMEOUT_S = 10;
constexpr auto EXCHANGE_DEADLINE = std::chrono::seconds(60);

void set_timeouts(int fd) {
  timeval limit{CLIENT_TIMEOUT_S, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

} // namespace

test_client::~test_client() {
  close();
}

bool test_client::connect(uint16_t port) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  set_timeouts(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

void test_client::limit_receive_buffer(int size) {
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

bool test_client::handshake(const std::string &root_pem, int max_version) {
  ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_max_proto_version(ctx, max_version);
  BIO *bio = BIO_new_mem_buf(root_pem.data(), static_cast<int>(root_pem.size()));
  X509 *root = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), root);
  X509_free(root);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  return SSL_connect(ssl) == 1 && SSL_get_verify_result(ssl) == X509_V_OK;
}

int test_client::peer_chain_length() {
  STACK_OF(X509) *chain = SSL_get_peer_cert_chain(ssl);
  return chain != nullptr ? sk_X509_num(chain) : 0;
}

bool test_client::write(const void *data, size_t size) {
  const char *at = static_cast<const char *>(data);
  while (size > 0) {
    int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
    int sent = ssl != nullptr ? SSL_write(ssl, at, chunk) : static_cast<int>(::send(fd, at, chunk, MSG_NOSIGNAL));
    if (sent <= 0) {
      return false;
    }
    at += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool test_client::write_records(const std::vector<std::vector<uint8_t>> &records) {
  int on = 1;
  int off = 0;
  setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  bool written = true;
  for (const auto &record : records) {
    written = written && write(record);
  }
  setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  return written;
}

bool test_client::read_exact(void *buffer, size_t size) {
  char *at = static_cast<char *>(buffer);
  while (size > 0) {
    int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
    int got = ssl != nullptr ? SSL_read(ssl, at, chunk) : static_cast<int>(::recv(fd, at, chunk, 0));
    if (got <= 0) {
      return false;
    }
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

std::vector<uint8_t> test_client::read_exact(size_t size) {
  std::vector<uint8_t> data(size);
  if (!read_exact(data.data(), size)) {
    data.clear();
  }
  return data;
}

bool test_client::reads_end() {
  char byte;
  if (ssl != nullptr) {
    int got = SSL_read(ssl, &byte, 1);
    // A receive time-out shows as a want-read; anything else is the end.
    int code = SSL_get_error(ssl, got);
    return got <= 0 && code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE;
  }
  ssize_t got = ::recv(fd, &byte, 1, 0);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool test_client::close_notify() {
  return ssl != nullptr && SSL_shutdown(ssl) >= 0;
}

bool test_client::exchange(const std::vector<uint8_t> &out, size_t in_size, std::vector<uint8_t> &in,
                           size_t key_update_every) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  in.assign(in_size, 0);
  size_t sent = 0;
  size_t got = 0;
  size_t next_update = key_update_every;
  auto deadline = std::chrono::steady_clock::now() + EXCHANGE_DEADLINE;
  while ((sent < out.size() || got < in_size) && std::chrono::steady_clock::now() < deadline) {
    bool progress = false;
    short wanted = 0;
    if (got < in_size) {
      int n = SSL_read(ssl, in.data() + got, static_cast<int>(std::min<size_t>(in_size - got, 1 << 20)));
      if (n > 0) {
        got += static_cast<size_t>(n);
        progress = true;
      } else {
        int code = SSL_get_error(ssl, n);
        if (code == SSL_ERROR_WANT_READ) {
          wanted |= POLLIN;
        } else if (code == SSL_ERROR_WANT_WRITE) {
          wanted |= POLLOUT;
        } else {
          return false;
        }
      }
    }
    if (sent < out.size()) {
      if (key_update_every > 0 && sent >= next_update) {
        SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED);
        next_update += key_update_every;
      }
      int n = SSL_write(ssl, out.data() + sent, static_cast<int>(std::min<size_t>(out.size() - sent, 1 << 16)));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        progress = true;
      } else {
        int code = SSL_get_error(ssl, n);
        if (code == SSL_ERROR_WANT_WRITE) {
          wanted |= POLLOUT;
        } else if (code == SSL_ERROR_WANT_READ) {
          wanted |= POLLIN;
        } else {
          return false;
        }
      }
    }
    if (!progress) {
      pollfd waiting{fd, wanted, 0};
      poll(&waiting, 1, 100);
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return sent == out.size() && got == in_size;
}

void test_client::close() {
  if (ssl != nullptr) {
    SSL_free(ssl);
    ssl = nullptr;
  }
  if (ctx != nullptr) {
    SSL_CTX_free(ctx);
    ctx = nullptr;
  }
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}
