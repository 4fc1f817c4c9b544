#include "platform/winsock_api.h"

namespace {

// Only shutdown below cancels socket I/O.
int ended_here(int result) {
  if (result == SOCKET_ERROR && WSAGetLastError() == WSA_OPERATION_ABORTED)
    WSASetLastError(WSAECONNABORTED);
  return result;
}

} // namespace

namespace winapi {

SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen) {
  for (;;) {
    const SOCKET accepted = ::accept(s, addr, addrlen);
    if (accepted != INVALID_SOCKET || WSAGetLastError() != WSAEWOULDBLOCK)
      return accepted;
  }
}

int shutdown(SOCKET s, int how) {
  const int result = ::shutdown(s, how);
  if (how == SD_BOTH) {
    const int code = WSAGetLastError();
    // Nothing blocked is the usual case (ERROR_NOT_FOUND), not a failure.
    CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
    WSASetLastError(code);
  }
  return result;
}

int recv(SOCKET s, char *buffer, int length, int flags) {
  return ended_here(::recv(s, buffer, length, flags));
}

int send(SOCKET s, const char *buffer, int length, int flags) {
  return ended_here(::send(s, buffer, length, flags));
}

} // namespace winapi
