// Test helpers over the system's own calls. They live apart from the tests
// because platform/winsock.h gives Windows' numbers to names that the
// system's socket headers define too.
#pragma once

#include <cstdint>

// Connects a blocking TCP socket to 127.0.0.1:`port`. The descriptor, or -1.
int loopback_connect(uint16_t port);
// A descriptor that is not a socket (the read end of a pipe); its partner
// is closed.
int non_socket_descriptor();
void close_descriptor(int fd);

// Socket options as Linux reports them, in Linux's units.
struct linux_socket_options {
  int reuseaddr;
  int keepalive;
  int linger_onoff;
  int linger_seconds;
  int sndbuf;
  int rcvbuf;
  int rcvtimeo_ms;
  int nodelay;
  int keepidle;
  int keepintvl;
  int keepcnt;
  int fastopen;
};
linux_socket_options read_socket_options(int fd);
