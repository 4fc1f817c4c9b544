#include "tls/tls_fixture.h"

#include <fcntl.h>
#include <sys/socket.h>

bool descriptor_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

bool linger_resets(int fd) {
  struct linger value {};
  socklen_t size = sizeof value;
  return getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &size) == 0 && value.l_onoff != 0 && value.l_linger == 0;
}
