// Windows Sockets 2 over BSD sockets. A SOCKET is the descriptor widened;
// Windows' option numbers, flags and address records are translated here,
// and every failure is reported as a WSA code through one errno table.
//
// The system headers come first: platform/winsock_api.h's names would make
// theirs ambiguous. winsock.h is not included because its macros carry
// Windows' numbers under the system's names; those constants are repeated
// below under names of their own. The error codes clash with nothing and
// come from their list.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/winsock_api.h"
#include "platform/wsa_errors.h"
#include "unwind_guard.h"

namespace winapi {
namespace {

namespace win {
constexpr int af_inet = 2;
constexpr int sock_stream = 1;
constexpr int ipproto_tcp = 6;
constexpr int sol_socket = 0xFFFF;
constexpr int so_reuseaddr = 0x0004;
constexpr int so_keepalive = 0x0008;
constexpr int so_linger = 0x0080;
constexpr int so_sndbuf = 0x1001;
constexpr int so_rcvbuf = 0x1002;
constexpr int so_sndtimeo = 0x1005;
constexpr int so_rcvtimeo = 0x1006;
constexpr int tcp_nodelay = 1;
constexpr int tcp_keepidle = 3;
constexpr int tcp_fastopen = 15;
constexpr int tcp_keepcnt = 16;
constexpr int tcp_keepintvl = 17;
constexpr int msg_peek = 0x2;
constexpr int sd_receive = 0;
constexpr int sd_send = 1;
constexpr int sd_both = 2;
} // namespace win

constexpr SOCKET invalid_socket = ~SOCKET{0};
constexpr int socket_error = -1;

// Each code with the errno values that map to it; an errno not listed
// becomes WSAEOPNOTSUPP.
struct errno_to_wsa {
  int wsa;
  int errors[2];
};

#define ERRNO_LIST(...) __VA_ARGS__
#define ERRNO_ROW(name, code, errors, text) {code, {ERRNO_LIST errors}},
constexpr errno_to_wsa errno_table[] = {WSA_ERROR_MAP(ERRNO_ROW)};
#undef ERRNO_ROW
#undef ERRNO_LIST

int wsa_from_errno(int error) {
  for (const errno_to_wsa &entry : errno_table)
    for (int listed : entry.errors)
      if (listed != 0 && listed == error)
        return entry.wsa;
  return WSAEOPNOTSUPP;
}

int fail(int wsa_code) {
  WSASetLastError(wsa_code);
  return socket_error;
}

int fail_errno() {
  return fail(wsa_from_errno(errno));
}

// The descriptor behind a SOCKET, or -1 for INVALID_SOCKET and any value
// that cannot be one; those fail without a system call.
int descriptor(SOCKET s) {
  return s <= static_cast<SOCKET>(INT_MAX) ? static_cast<int>(s) : -1;
}

void to_windows(const ::sockaddr_in &from, winapi::sockaddr_in &to) {
  to = winapi::sockaddr_in{};
  to.sin_family = static_cast<short>(win::af_inet);
  to.sin_port = from.sin_port;
  to.sin_addr.S_un.S_addr = from.sin_addr.s_addr;
}

int recv_flags(int flags, int *linux_flags) {
  *linux_flags = 0;
  if ((flags & ~win::msg_peek) != 0)
    return WSAEOPNOTSUPP;
  if ((flags & win::msg_peek) != 0)
    *linux_flags |= MSG_PEEK;
  return 0;
}

std::atomic<int> startups{0};

} // namespace

int WSAStartup(WORD version_requested, WSADATA *data) {
  if (data == nullptr)
    return WSAEFAULT;
  const BYTE major = static_cast<BYTE>(version_requested & 0xFF);
  const BYTE minor = static_cast<BYTE>(version_requested >> 8);
  if (major == 0)
    return WSAVERNOTSUPPORTED;
  *data = WSADATA{};
  // The version granted is the one asked for, up to 2.2.
  data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? WORD{0x0202} : version_requested;
  data->wHighVersion = 0x0202;
  strcpy(data->szDescription, "WinSock 2.0");
  strcpy(data->szSystemStatus, "Running");
  startups.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int count = startups.load();
  do {
    if (count == 0)
      return fail(WSANOTINITIALISED);
  } while (!startups.compare_exchange_weak(count, count - 1));
  return 0;
}

SOCKET socket(int af, int type, int protocol) {
  if (af != win::af_inet) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return invalid_socket;
  }
  if (type != win::sock_stream) {
    WSASetLastError(WSAESOCKTNOSUPPORT);
    return invalid_socket;
  }
  if (protocol != 0 && protocol != win::ipproto_tcp) {
    WSASetLastError(WSAEPROTONOSUPPORT);
    return invalid_socket;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    fail_errno();
    return invalid_socket;
  }
  return static_cast<SOCKET>(fd);
}

int bind(SOCKET s, const winapi::sockaddr *name, int namelen) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  if (name == nullptr || namelen < static_cast<int>(sizeof(winapi::sockaddr_in)))
    return fail(WSAEFAULT);
  winapi::sockaddr_in windows_address;
  memcpy(&windows_address, name, sizeof(windows_address));
  if (windows_address.sin_family != win::af_inet)
    return fail(WSAEAFNOSUPPORT);
  ::sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = windows_address.sin_port;
  address.sin_addr.s_addr = windows_address.sin_addr.S_un.S_addr;
  if (::bind(fd, reinterpret_cast<const ::sockaddr *>(&address), sizeof(address)) != 0)
    return fail_errno();
  return 0;
}

int listen(SOCKET s, int backlog) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  if (::listen(fd, backlog) != 0)
    return fail_errno();
  return 0;
}

namespace {

// Linux fails an accept on a listening socket that another thread shut down
// with EINVAL; on Windows closing it interrupts the accept. Linux also passes
// a network error that a pending connection met before it was taken; Windows
// reports such a connection as aborted.
int accept_error(int error) {
  switch (error) {
  case EINVAL:
    return WSAEINTR;
  case EPROTO:
  case ENOPROTOOPT:
  case EHOSTDOWN:
  case ENONET:
  case EHOSTUNREACH:
  case EOPNOTSUPP:
  case ENETDOWN:
  case ENETUNREACH:
    return WSAECONNABORTED;
  default:
    return wsa_from_errno(error);
  }
}

} // namespace

SOCKET accept(SOCKET s, winapi::sockaddr *addr, int *addrlen) {
  const int fd = descriptor(s);
  if (fd < 0) {
    WSASetLastError(WSAENOTSOCK);
    return invalid_socket;
  }
  if (addr != nullptr && (addrlen == nullptr || *addrlen < static_cast<int>(sizeof(winapi::sockaddr_in)))) {
    WSASetLastError(WSAEFAULT);
    return invalid_socket;
  }
  ::sockaddr_in peer{};
  socklen_t peer_size = sizeof(peer);
  unwind_guard guard;
  const int accepted = ::accept4(fd, reinterpret_cast<::sockaddr *>(&peer), &peer_size, SOCK_CLOEXEC);
  guard.returned();
  if (accepted < 0) {
    WSASetLastError(accept_error(errno));
    return invalid_socket;
  }
  if (addr != nullptr) {
    winapi::sockaddr_in windows_peer;
    to_windows(peer, windows_peer);
    memcpy(addr, &windows_peer, sizeof(windows_peer));
    *addrlen = sizeof(windows_peer);
  }
  return static_cast<SOCKET>(accepted);
}

int recv(SOCKET s, char *buf, int len, int flags) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  if (len < 0 || (buf == nullptr && len > 0))
    return fail(WSAEFAULT);
  int linux_flags;
  if (const int invalid = recv_flags(flags, &linux_flags))
    return fail(invalid);
  unwind_guard guard;
  const ssize_t received = ::recv(fd, buf, static_cast<size_t>(len), linux_flags);
  guard.returned();
  if (received < 0)
    return fail_errno();
  return static_cast<int>(received);
}

// A blocking send on Windows returns once all bytes are queued; Linux may
// stop early when a signal arrives, so the rest is sent in further calls.
// MSG_NOSIGNAL: a peer that is gone gives an error, never SIGPIPE.
int send(SOCKET s, const char *buf, int len, int flags) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  if (len < 0 || (buf == nullptr && len > 0))
    return fail(WSAEFAULT);
  if (flags != 0)
    return fail(WSAEOPNOTSUPP);
  int sent = 0;
  do {
    unwind_guard guard;
    const ssize_t n = ::send(fd, buf + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
    guard.returned();
    if (n < 0) {
      if (errno == EINTR)
        continue;
      // A send time-out means no progress for that long: the whole send
      // fails, as on Windows, whatever part of it already left.
      if (sent > 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return sent;
      return fail_errno();
    }
    sent += static_cast<int>(n);
  } while (sent < len);
  return sent;
}

int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  int linux_level = 0;
  int linux_name = 0;
  if (level == win::sol_socket) {
    linux_level = SOL_SOCKET;
    switch (optname) {
    case win::so_reuseaddr:
      linux_name = SO_REUSEADDR;
      break;
    case win::so_keepalive:
      linux_name = SO_KEEPALIVE;
      break;
    case win::so_linger:
      linux_name = SO_LINGER;
      break;
    case win::so_sndbuf:
      linux_name = SO_SNDBUF;
      break;
    case win::so_rcvbuf:
      linux_name = SO_RCVBUF;
      break;
    case win::so_sndtimeo:
      linux_name = SO_SNDTIMEO;
      break;
    case win::so_rcvtimeo:
      linux_name = SO_RCVTIMEO;
      break;
    default:
      return fail(WSAENOPROTOOPT);
    }
  } else if (level == win::ipproto_tcp) {
    linux_level = IPPROTO_TCP;
    switch (optname) {
    case win::tcp_nodelay:
      linux_name = TCP_NODELAY;
      break;
    case win::tcp_keepidle:
      linux_name = TCP_KEEPIDLE;
      break;
    case win::tcp_fastopen:
      linux_name = TCP_FASTOPEN;
      break;
    case win::tcp_keepcnt:
      linux_name = TCP_KEEPCNT;
      break;
    case win::tcp_keepintvl:
      linux_name = TCP_KEEPINTVL;
      break;
    default:
      return fail(WSAENOPROTOOPT);
    }
  } else {
    return fail(WSAENOPROTOOPT);
  }

  if (optval == nullptr)
    return fail(WSAEFAULT);
  int result;
  if (linux_name == SO_LINGER && linux_level == SOL_SOCKET) {
    if (optlen < static_cast<int>(sizeof(winapi::linger)))
      return fail(WSAEFAULT);
    winapi::linger windows_linger;
    memcpy(&windows_linger, optval, sizeof(windows_linger));
    const ::linger value{windows_linger.l_onoff != 0 ? 1 : 0, windows_linger.l_linger};
    result = ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
  } else if ((linux_name == SO_RCVTIMEO || linux_name == SO_SNDTIMEO) && linux_level == SOL_SOCKET) {
    if (optlen < static_cast<int>(sizeof(DWORD)))
      return fail(WSAEFAULT);
    DWORD milliseconds;
    memcpy(&milliseconds, optval, sizeof(milliseconds));
    const timeval value{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>(milliseconds % 1000) * 1000};
    result = ::setsockopt(fd, SOL_SOCKET, linux_name, &value, sizeof(value));
  } else {
    if (optlen < static_cast<int>(sizeof(int)))
      return fail(WSAEFAULT);
    int value;
    memcpy(&value, optval, sizeof(value));
    result = ::setsockopt(fd, linux_level, linux_name, &value, sizeof(value));
  }
  if (result != 0)
    return fail_errno();
  return 0;
}

int getsockname(SOCKET s, winapi::sockaddr *name, int *namelen) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  if (name == nullptr || namelen == nullptr || *namelen < static_cast<int>(sizeof(winapi::sockaddr_in)))
    return fail(WSAEFAULT);
  ::sockaddr_in address{};
  socklen_t size = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<::sockaddr *>(&address), &size) != 0)
    return fail_errno();
  // Linux reports an unbound socket as 0.0.0.0:0; Windows fails.
  if (address.sin_family != AF_INET || address.sin_port == 0)
    return fail(WSAEINVAL);
  winapi::sockaddr_in windows_address;
  to_windows(address, windows_address);
  memcpy(name, &windows_address, sizeof(windows_address));
  *namelen = sizeof(windows_address);
  return 0;
}

int shutdown(SOCKET s, int how) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  int linux_how;
  switch (how) {
  case win::sd_receive:
    linux_how = SHUT_RD;
    break;
  case win::sd_send:
    linux_how = SHUT_WR;
    break;
  case win::sd_both:
    linux_how = SHUT_RDWR;
    break;
  default:
    return fail(WSAEINVAL);
  }
  if (::shutdown(fd, linux_how) != 0)
    return fail_errno();
  return 0;
}

int closesocket(SOCKET s) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(WSAENOTSOCK);
  unwind_guard guard;
  const int closed = ::close(fd);
  guard.returned();
  // Linux releases the descriptor even when close reports EINTR.
  if (closed != 0 && errno != EINTR)
    return fail_errno();
  return 0;
}

unsigned long inet_addr(const char *text) {
  if (text == nullptr || *text == '\0')
    return 0xFFFFFFFFUL;
  ::in_addr address;
  if (::inet_aton(text, &address) == 0)
    return 0xFFFFFFFFUL;
  return address.s_addr;
}

// Parenthesised names: glibc may define the byte-order functions as macros.
u_short(htons)(u_short host) {
  if constexpr (std::endian::native == std::endian::little)
    return __builtin_bswap16(host);
  return host;
}

u_short(ntohs)(u_short net) {
  return (htons)(net);
}

} // namespace winapi
