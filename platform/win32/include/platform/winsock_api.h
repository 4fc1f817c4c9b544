// Windows Sockets 2 types and calls. The relay names some calls with the
// namespace (winapi::recv) to keep them apart from its own members of the
// same name; here they are the SDK's functions themselves.
#pragma once

#include "platform/win_types.h"

#include <ws2tcpip.h>

namespace winapi {

using ::accept;
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
