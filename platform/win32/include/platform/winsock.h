// Windows Sockets 2: calls, types and the constants the relay uses.
#pragma once

#include "platform/winsock_api.h"

// Keep-alive tuning and fast open, with Windows' values; MinGW's headers
// leave them out.
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE 3
#endif
#ifndef TCP_FASTOPEN
#define TCP_FASTOPEN 15
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_KEEPINTVL
#define TCP_KEEPINTVL 17
#endif
