// Windows Sockets 2: calls, types and the constants the relay uses, with
// Windows' own values.
#pragma once

#include "platform/winsock_api.h"
#include "platform/wsa_errors.h"

#define INVALID_SOCKET (~(winapi::SOCKET)0)
#define SOCKET_ERROR (-1)

#define AF_INET 2
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define INADDR_ANY 0UL
#define INADDR_NONE 0xFFFFFFFFUL

#define SOL_SOCKET 0xFFFF
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_LINGER 0x0080
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_SNDTIMEO 0x1005
#define SO_RCVTIMEO 0x1006
#define TCP_NODELAY 0x0001
#define TCP_KEEPIDLE 3
#define TCP_FASTOPEN 15
#define TCP_KEEPCNT 16
#define TCP_KEEPINTVL 17

#define MSG_PEEK 0x2
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
