// Windows Sockets 2 types and calls. The relay names some calls with the
// namespace (winapi::recv) to keep them apart from its own members of the
// same name; here they are the SDK's functions themselves.
#pragma once

#include "platform/win_types.h"

#include <ws2tcpip.h>

namespace winapi {

// Waits for a connection on a blocking listening socket. Wine wakes every
// thread blocked in accept on the socket for one connection and fails the
// others with WSAEWOULDBLOCK, which Windows never gives a blocking socket;
// they wait again instead.
SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen);

using ::bind;
using ::closesocket;
using ::getsockname;
using ::listen;
using ::recv;
using ::send;
using ::setsockopt;
using ::shutdown;
using ::socket;

} // namespace winapi
