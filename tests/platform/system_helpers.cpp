#include "system_helpers.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int loopback_connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int non_socket_descriptor() {
  int ends[2];
  if (pipe(ends) != 0)
    return -1;
  ::close(ends[1]);
  return ends[0];
}

void close_descriptor(int fd) {
  if (fd >= 0)
    ::close(fd);
}

namespace {

int int_option(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof(value);
  getsockopt(fd, level, name, &value, &size);
  return value;
}

} // namespace

linux_socket_options read_socket_options(int fd) {
  linux_socket_options options{};
  options.reuseaddr = int_option(fd, SOL_SOCKET, SO_REUSEADDR);
  options.keepalive = int_option(fd, SOL_SOCKET, SO_KEEPALIVE);
  linger l{};
  socklen_t size = sizeof(l);
  getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &size);
  options.linger_onoff = l.l_onoff;
  options.linger_seconds = l.l_linger;
  options.sndbuf = int_option(fd, SOL_SOCKET, SO_SNDBUF);
  options.rcvbuf = int_option(fd, SOL_SOCKET, SO_RCVBUF);
  timeval timeout{};
  size = sizeof(timeout);
  getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &size);
  options.rcvtimeo_ms = static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
  options.nodelay = int_option(fd, IPPROTO_TCP, TCP_NODELAY);
  options.keepidle = int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE);
  options.keepintvl = int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL);
  options.keepcnt = int_option(fd, IPPROTO_TCP, TCP_KEEPCNT);
  options.fastopen = int_option(fd, IPPROTO_TCP, TCP_FASTOPEN);
  return options;
}
