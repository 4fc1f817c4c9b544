#include "platform/winsock_api.h"

namespace winapi {

SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen) {
  for (;;) {
    const SOCKET accepted = ::accept(s, addr, addrlen);
    if (accepted != INVALID_SOCKET || WSAGetLastError() != WSAEWOULDBLOCK)
      return accepted;
  }
}

} // namespace winapi
