// The calling thread's last error. Windows keeps one value per thread that
// both the system calls and Windows Sockets report through, so
// GetLastError and WSAGetLastError read the same value.
#include "platform/winsock_api.h"

namespace winapi {

namespace {
thread_local DWORD last_error = 0;
}

DWORD GetLastError() {
  return last_error;
}

void SetLastError(DWORD code) {
  last_error = code;
}

int WSAGetLastError() {
  return static_cast<int>(last_error);
}

void WSASetLastError(int code) {
  last_error = static_cast<DWORD>(code);
}

} // namespace winapi
