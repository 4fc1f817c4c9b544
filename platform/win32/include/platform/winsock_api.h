// Windows Sockets 2 types and calls. The relay names some calls with the
// namespace (winapi::recv) to keep them apart from its own members of the
// same name; here they are the SDK's functions, except where said below.
#pragma once

#include "platform/win_types.h"

#include <ws2tcpip.h>

namespace winapi {

// Waits for a connection on a blocking listening socket. Wine wakes every
// thread blocked in accept on the socket for one connection and fails the
// others with WSAEWOULDBLOCK, which Windows never gives a blocking socket;
// they wait again instead.
SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen);

// Shuts a socket down. For SD_BOTH it also cancels the I/O that other threads
// have blocked on the socket: the relay's stop relies on the shutdown waking
// them, which Windows' shutdown does but Wine's does not. The result and last
// error are the shutdown's.
int shutdown(SOCKET s, int how);

// Receive and send as the SDK's, except that a call the shutdown above
// cancelled fails with WSAECONNABORTED, a connection ended on this side, in
// place of WSA_OPERATION_ABORTED: the relay takes the former as an ordinary
// end and would report the latter as a failure.
int recv(SOCKET s, char *buffer, int length, int flags);
int send(SOCKET s, const char *buffer, int length, int flags);

using ::bind;
using ::closesocket;
using ::getsockname;
using ::listen;
using ::setsockopt;
using ::socket;

} // namespace winapi
