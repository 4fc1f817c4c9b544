#include "client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

constexpr int IO_TIMEOUT_S = 10;
constexpr size_t MAX_RESPONSE_HEAD = 4096;
constexpr char WS_GUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char ACCEPT_HEADER[] = "sec-websocket-accept:";

std::string base64(const uint8_t *p, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), p, static_cast<int>(n));
  out.resize(static_cast<size_t>(length));
  return out;
}

// RFC 6455 section 4.2.2: the accept value the server must return for `key`.
std::string expected_accept(const std::string &key) {
  const std::string joined = key + WS_GUID;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(joined.data(), joined.size(), digest, &length, EVP_sha1(), nullptr);
  return base64(digest, length);
}

std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The value of the accept header in a response head, trimmed; empty if none.
std::string accept_value(const std::string &head) {
  const size_t at = lower(head).find(ACCEPT_HEADER);
  if (at == std::string::npos)
    return "";
  size_t begin = at + sizeof(ACCEPT_HEADER) - 1;
  const size_t end = head.find("\r\n", begin);
  while (begin < end && head[begin] == ' ')
    ++begin;
  size_t last = end;
  while (last > begin && head[last - 1] == ' ')
    --last;
  return head.substr(begin, last - begin);
}

void set_timeouts(int fd) {
  const timeval timeout{IO_TIMEOUT_S, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

} // namespace

int parse_protocol(const char *name, protocol_t *protocol) {
  static constexpr struct {
    const char *name;
    protocol_t protocol;
  } names[] = {{"raw", protocol_t::raw}, {"tls", protocol_t::tls}, {"ws", protocol_t::ws}, {"wss", protocol_t::wss}};
  for (const auto &entry : names)
    if (strcmp(name, entry.name) == 0) {
      *protocol = entry.protocol;
      return 0;
    }
  return -1;
}

bool over_tls(protocol_t protocol) {
  return protocol == protocol_t::tls || protocol == protocol_t::wss;
}

bool websocket(protocol_t protocol) {
  return protocol == protocol_t::ws || protocol == protocol_t::wss;
}

client::~client() {
  if (ssl != nullptr)
    SSL_free(ssl);
  if (socket_fd >= 0)
    close(socket_fd);
}

int client::open(protocol_t protocol, uint16_t port, SSL_CTX *ctx) {
  socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  const int one = 1;
  setsockopt(socket_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  set_timeouts(socket_fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(socket_fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    error = std::string("connect: ") + strerror(errno);
    return -1;
  }
  if (over_tls(protocol)) {
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, socket_fd);
    ERR_clear_error();
    if (SSL_connect(ssl) != 1) {
      error = "TLS handshake failed";
      return -1;
    }
  }
  return websocket(protocol) ? upgrade(port) : 0;
}

int client::write_all(const uint8_t *p, size_t n) {
  while (n > 0) {
    ssize_t sent;
    if (ssl != nullptr) {
      ERR_clear_error();
      sent = SSL_write(ssl, p, static_cast<int>(n));
    } else {
      sent = send(socket_fd, p, n, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR)
        continue;
    }
    if (sent <= 0) {
      error = "the connection took no more bytes within the time-out, or ended";
      return -1;
    }
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return 0;
}

int64_t client::read_some(uint8_t *p, size_t capacity) {
  if (ssl != nullptr) {
    ERR_clear_error();
    const int got = SSL_read(ssl, p, static_cast<int>(capacity));
    if (got > 0)
      return got;
    const int reason = SSL_get_error(ssl, got);
    return reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE ? 0 : -1;
  }
  const ssize_t got = recv(socket_fd, p, capacity, 0);
  if (got > 0)
    return got;
  return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

int client::set_nonblocking() {
  const int flags = fcntl(socket_fd, F_GETFL);
  return flags < 0 || fcntl(socket_fd, F_SETFL, flags | O_NONBLOCK) != 0 ? -1 : 0;
}

const char *client::cipher() const {
  return ssl != nullptr ? SSL_get_cipher_name(ssl) : "none";
}

int client::upgrade(uint16_t port) {
  uint8_t nonce[16];
  RAND_bytes(nonce, sizeof(nonce));
  const std::string key = base64(nonce, sizeof(nonce));
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                              "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (write_all(reinterpret_cast<const uint8_t *>(request.data()), request.size()) != 0)
    return -1;
  std::string head;
  if (read_response_head(head) != 0)
    return -1;
  if (head.rfind("HTTP/1.1 101", 0) != 0 || accept_value(head) != expected_accept(key)) {
    error = "the opening handshake was refused: " + head.substr(0, head.find("\r\n"));
    return -1;
  }
  return 0;
}

// Byte by byte, so that no frame byte after the head is taken with it.
int client::read_response_head(std::string &head) {
  while (head.size() < MAX_RESPONSE_HEAD) {
    uint8_t byte;
    if (read_some(&byte, 1) != 1) {
      error = "no complete handshake response within the time-out";
      return -1;
    }
    head.push_back(static_cast<char>(byte));
    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0)
      return 0;
  }
  error = "a handshake response head beyond 4096 bytes";
  return -1;
}
