#include "support/hub_peer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string digest(const char *name, const std::string &data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), out, &size, EVP_get_digestbyname(name), nullptr);
  return std::string(reinterpret_cast<char *>(out), size);
}

std::string base64(const std::string &data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                          reinterpret_cast<const unsigned char *>(data.data()), static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

} // namespace

const char *peer_name(peer_kind kind) {
  switch (kind) {
  case peer_kind::raw:
    return "raw";
  case peer_kind::tls:
    return "tls";
  case peer_kind::ws:
    return "ws";
  case peer_kind::wss:
    return "wss";
  case peer_kind::ws76:
    return "ws76";
  case peer_kind::wss76:
    return "wss76";
  }
  return "?";
}

std::string draft76_key(uint32_t number, uint32_t spaces) {
  const std::string digits = std::to_string(static_cast<uint64_t>(number) * spaces);
  std::string key;
  for (size_t i = 0; i < digits.size(); ++i) {
    key += digits[i];
    if (i < spaces)
      key += ' ';
    if (i % 3 == 1)
      key += "x%";
  }
  for (size_t i = digits.size(); i < spaces; ++i)
    key += " ";
  return "q" + key + "Z";
}

std::string draft76_digest(uint32_t n1, uint32_t n2, const std::string &key3) {
  std::string challenge;
  for (uint32_t n : {n1, n2})
    for (int shift = 24; shift >= 0; shift -= 8)
      challenge += static_cast<char>((n >> shift) & 0xFF);
  return digest("MD5", challenge + key3);
}

hub_peer::~hub_peer() {
  close();
}

void hub_peer::close() {
  if (ssl != nullptr)
    SSL_free(ssl);
  if (ctx != nullptr)
    SSL_CTX_free(ctx);
  ssl = nullptr;
  ctx = nullptr;
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

bool hub_peer::open(uint16_t port) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
    error = "connect failed";
    return false;
  }
  if (over_tls()) {
    ctx = SSL_CTX_new(TLS_client_method());
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
      error = "TLS handshake failed";
      return false;
    }
  }
  if (!websocket())
    return true;
  return draft76() ? handshake_76() : handshake_6455();
}

bool hub_peer::write_all(const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    long n = ssl != nullptr ? SSL_write(ssl, p, static_cast<int>(size)) : ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && ssl == nullptr && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long hub_peer::read_some(void *buffer, size_t size, int timeout_ms) {
  if (ssl == nullptr || SSL_pending(ssl) == 0) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r == 0)
      return 0;
    if (r < 0)
      return errno == EINTR ? 0 : -1;
  }
  long n;
  if (ssl != nullptr) {
    n = SSL_read(ssl, buffer, static_cast<int>(size));
    if (n <= 0)
      return SSL_get_error(ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ ? 0 : -1;
  } else {
    n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR)
      return 0;
  }
  return n > 0 ? n : -1;
}

bool hub_peer::read_exact(void *buffer, size_t size, int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  char *p = static_cast<char *>(buffer);
  size_t from_pending = std::min(size, pending.size());
  memcpy(p, pending.data(), from_pending);
  pending.erase(0, from_pending);
  p += from_pending;
  size -= from_pending;
  while (size > 0) {
    if (clock_type::now() >= deadline)
      return false;
    long n = read_some(p, size, remaining_ms(deadline));
    if (n < 0)
      return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string hub_peer::recv_raw(size_t size, int timeout_ms) {
  std::string data(size, '\0');
  return read_exact(data.data(), size, timeout_ms) ? data : std::string();
}

bool hub_peer::wait_closed(int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[4096];
  while (clock_type::now() < deadline)
    if (read_some(buffer, sizeof(buffer), remaining_ms(deadline)) < 0)
      return true;
  return false;
}

bool hub_peer::read_response_head(std::string &response) {
  char ch;
  while (response.find("\r\n\r\n") == std::string::npos) {
    if (!read_exact(&ch, 1, 5000)) {
      error = "no handshake response: " + response;
      return false;
    }
    response += ch;
  }
  return true;
}

bool hub_peer::handshake_6455() {
  unsigned char nonce[16];
  RAND_bytes(nonce, sizeof(nonce));
  const std::string key = base64(std::string(reinterpret_cast<char *>(nonce), sizeof(nonce)));
  const std::string request = "GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key: " +
                              key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (!write_all(request.data(), request.size()))
    return false;
  std::string response;
  if (!read_response_head(response))
    return false;
  const std::string accept = base64(digest("SHA1", key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
  if (response.rfind("HTTP/1.1 101 ", 0) != 0 ||
      response.find("Sec-WebSocket-Accept: " + accept + "\r\n") == std::string::npos) {
    error = "bad handshake response: " + response;
    return false;
  }
  return true;
}

bool hub_peer::handshake_76() {
  const uint32_t n1 = 1234567, n2 = 98765;
  const std::string key3 = "Tm[K T2u";
  const std::string request = "GET /demo HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: WebSocket\r\n"
                              "Sec-WebSocket-Key1: " +
                              draft76_key(n1, 4) + "\r\nSec-WebSocket-Key2: " + draft76_key(n2, 7) +
                              "\r\nOrigin: http://example.test\r\n\r\n" + key3;
  if (!write_all(request.data(), request.size()))
    return false;
  std::string response;
  if (!read_response_head(response))
    return false;
  std::string body(16, '\0');
  if (!read_exact(body.data(), 16, 5000) || body != draft76_digest(n1, n2, key3)) {
    error = "bad draft-76 response: " + response;
    return false;
  }
  return response.rfind("HTTP/1.1 101 WebSocket Protocol Handshake\r\n", 0) == 0;
}

bool hub_peer::send_frame(uint8_t opcode, bool fin, const std::string &payload) {
  std::string frame;
  frame += static_cast<char>((fin ? 0x80 : 0) | opcode);
  const size_t n = payload.size();
  if (n <= 125) {
    frame += static_cast<char>(0x80 | n);
  } else if (n <= 0xFFFF) {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xFF);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
      frame += static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF);
  }
  unsigned char mask[4];
  RAND_bytes(mask, sizeof(mask));
  frame.append(reinterpret_cast<char *>(mask), 4);
  for (size_t i = 0; i < n; ++i)
    frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return write_all(frame.data(), frame.size());
}

bool hub_peer::send(const std::string &data, bool binary) {
  if (!websocket())
    return write_all(data.data(), data.size());
  if (draft76()) {
    std::string frame = '\0' + data + '\xFF';
    return write_all(frame.data(), frame.size());
  }
  return send_frame(binary ? 2 : 1, true, data);
}

bool hub_peer::recv_frame(uint8_t &first_byte, std::string &payload, int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  if (draft76()) {
    char ch;
    if (!read_exact(&ch, 1, remaining_ms(deadline)) || ch != '\0')
      return false;
    first_byte = 0;
    payload.clear();
    while (read_exact(&ch, 1, remaining_ms(deadline))) {
      if (ch == '\xFF')
        return true;
      payload += ch;
    }
    return false;
  }
  uint8_t head[2];
  if (!read_exact(head, 2, remaining_ms(deadline)))
    return false;
  first_byte = head[0];
  uint64_t n = head[1] & 0x7F;
  if (n >= 126) {
    uint8_t ext[8];
    const size_t size = n == 126 ? 2 : 8;
    if (!read_exact(ext, size, remaining_ms(deadline)))
      return false;
    n = 0;
    for (size_t i = 0; i < size; ++i)
      n = n << 8 | ext[i];
  }
  payload.assign(n, '\0');
  return read_exact(payload.data(), n, remaining_ms(deadline));
}

std::string hub_peer::recv_bytes(size_t size, int timeout_ms) {
  if (!websocket())
    return recv_raw(size, timeout_ms);
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  std::string data;
  while (data.size() < size) {
    uint8_t first = 0;
    std::string payload;
    if (!recv_frame(first, payload, remaining_ms(deadline)))
      return {};
    data += payload;
  }
  return data;
}
