#include "support/tcp_client.h"

#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

} // namespace

bool tcp_client::connect(uint16_t port, int receive_buffer) {
  close();
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval send_timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout));
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
}

bool tcp_client::send_all(const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool tcp_client::recv_exact(void *buffer, size_t size, int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  char *p = static_cast<char *>(buffer);
  while (size > 0) {
    if (!readable(fd, remaining_ms(deadline)))
      return false;
    ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string tcp_client::recv_exact(size_t size, int timeout_ms) {
  std::string data(size, '\0');
  if (!recv_exact(data.data(), size, timeout_ms))
    return {};
  return data;
}

std::string tcp_client::recv_some(int timeout_ms, int max_ms) {
  std::string data;
  char buffer[65536];
  int wait = timeout_ms;
  clock_type::time_point deadline = clock_type::time_point::max();
  while (clock_type::now() < deadline && readable(fd, wait)) {
    if (data.empty())
      deadline = clock_type::now() + std::chrono::milliseconds(max_ms);
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0)
      break;
    data.append(buffer, static_cast<size_t>(n));
    wait = 100;
  }
  return data;
}

bool tcp_client::wait_closed(int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[4096];
  while (readable(fd, remaining_ms(deadline))) {
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
      return true;
  }
  return false;
}

void tcp_client::close() {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

void tcp_client::reset() {
  if (fd < 0)
    return;
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  close();
}

int linux_send_buffer(int fd) {
  int value = 0;
  socklen_t size = sizeof(value);
  return getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &value, &size) == 0 ? value : -1;
}
