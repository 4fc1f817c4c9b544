// Windows Sockets 2 types and calls. The constants live in platform/winsock.h;
// this header is kept free of names that clash with the system's own headers.
#pragma once

#include "platform/win_types.h"

namespace winapi {

using SOCKET = uintptr_t;
using u_short = uint16_t;
using u_long = uint32_t;

struct in_addr {
  union {
    struct {
      UCHAR s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    ULONG S_addr;
  } S_un;
};

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  short sin_family;
  u_short sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};

struct linger {
  u_short l_onoff;
  u_short l_linger;
};

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char *lpVendorInfo;
  char szDescription[257];
  char szSystemStatus[129];
};

int WSAStartup(WORD version_requested, WSADATA *data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);

// Failures return INVALID_SOCKET or -1 (SOCKET_ERROR) and set the thread's
// last error to a WSA code. No call raises SIGPIPE.
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr *name, int namelen);
int listen(SOCKET s, int backlog);
// An accept blocked on a listening socket that another thread shuts down
// fails with WSAEINTR.
SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen);
int recv(SOCKET s, char *buf, int len, int flags);
int send(SOCKET s, const char *buf, int len, int flags);
// Levels and options take Windows Sockets' numbers; SO_RCVTIMEO and SO_SNDTIMEO take a DWORD
// of milliseconds and SO_LINGER a Windows `linger`.
int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen);
int getsockname(SOCKET s, sockaddr *name, int *namelen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);

unsigned long inet_addr(const char *text);
u_short htons(u_short host);
u_short ntohs(u_short net);

} // namespace winapi
