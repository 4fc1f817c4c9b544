// Windows Sockets 2 over BSD sockets. A SOCKET is the descriptor widened;
// Windows' option numbers, flags and address records are translated here,
// and every failure is reported as a WSA code through one errno table.
//
// The system headers come first: platform/winsock_api.h's names would make
// theirs ambiguous. winsock.h is not included because its macros carry
// Windows' numbers under the system's names; the constants are repeated
// below under names of their own.
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

constexpr int wsaeintr = 10004;
constexpr int wsaebadf = 10009;
constexpr int wsaeacces = 10013;
constexpr int wsaefault = 10014;
constexpr int wsaeinval = 10022;
constexpr int wsaemfile = 10024;
constexpr int wsaeinprogress = 10036;
constexpr int wsaealready = 10037;
constexpr int wsaenotsock = 10038;
constexpr int wsaedestaddrreq = 10039;
constexpr int wsaemsgsize = 10040;
constexpr int wsaeprototype = 10041;
constexpr int wsaenoprotoopt = 10042;
constexpr int wsaeprotonosupport = 10043;
constexpr int wsaesocktnosupport = 10044;
constexpr int wsaeopnotsupp = 10045;
constexpr int wsaepfnosupport = 10046;
constexpr int wsaeafnosupport = 10047;
constexpr int wsaeaddrinuse = 10048;
constexpr int wsaeaddrnotavail = 10049;
constexpr int wsaenetdown = 10050;
constexpr int wsaenetunreach = 10051;
constexpr int wsaenetreset = 10052;
constexpr int wsaeconnaborted = 10053;
constexpr int wsaeconnreset = 10054;
constexpr int wsaenobufs = 10055;
constexpr int wsaeisconn = 10056;
constexpr int wsaenotconn = 10057;
constexpr int wsaeshutdown = 10058;
constexpr int wsaetoomanyrefs = 10059;
constexpr int wsaetimedout = 10060;
constexpr int wsaeconnrefused = 10061;
constexpr int wsaeloop = 10062;
constexpr int wsaenametoolong = 10063;
constexpr int wsaehostdown = 10064;
constexpr int wsaehostunreach = 10065;
constexpr int wsavernotsupported = 10092;
constexpr int wsanotinitialised = 10093;
} // namespace win

constexpr SOCKET invalid_socket = ~SOCKET{0};
constexpr int socket_error = -1;

struct errno_to_wsa {
  int error;
  int wsa;
};

// The one errno translation. Sockets here are always blocking, so EAGAIN
// only comes from an expired SO_RCVTIMEO or SO_SNDTIMEO, which Windows reports as
// WSAETIMEDOUT. EPIPE means the local end was shut down or the peer is gone;
// Windows reports such sends as aborted, an ordinary end of a connection.
constexpr errno_to_wsa errno_table[] = {
    {EINTR, win::wsaeintr},
    {EBADF, win::wsaebadf},
    {EACCES, win::wsaeacces},
    {EPERM, win::wsaeacces},
    {EFAULT, win::wsaefault},
    {EINVAL, win::wsaeinval},
    {EMFILE, win::wsaemfile},
    {ENFILE, win::wsaemfile},
    {EAGAIN, win::wsaetimedout},
    {EINPROGRESS, win::wsaeinprogress},
    {EALREADY, win::wsaealready},
    {ENOTSOCK, win::wsaenotsock},
    {EDESTADDRREQ, win::wsaedestaddrreq},
    {EMSGSIZE, win::wsaemsgsize},
    {EPROTOTYPE, win::wsaeprototype},
    {ENOPROTOOPT, win::wsaenoprotoopt},
    {EPROTONOSUPPORT, win::wsaeprotonosupport},
    {ESOCKTNOSUPPORT, win::wsaesocktnosupport},
    {EOPNOTSUPP, win::wsaeopnotsupp},
    {EPFNOSUPPORT, win::wsaepfnosupport},
    {EAFNOSUPPORT, win::wsaeafnosupport},
    {EADDRINUSE, win::wsaeaddrinuse},
    {EADDRNOTAVAIL, win::wsaeaddrnotavail},
    {ENETDOWN, win::wsaenetdown},
    {ENETUNREACH, win::wsaenetunreach},
    {ENETRESET, win::wsaenetreset},
    {ECONNABORTED, win::wsaeconnaborted},
    {ECONNRESET, win::wsaeconnreset},
    {ENOBUFS, win::wsaenobufs},
    {ENOMEM, win::wsaenobufs},
    {EISCONN, win::wsaeisconn},
    {ENOTCONN, win::wsaenotconn},
    {ESHUTDOWN, win::wsaeshutdown},
    {ETOOMANYREFS, win::wsaetoomanyrefs},
    {ETIMEDOUT, win::wsaetimedout},
    {ECONNREFUSED, win::wsaeconnrefused},
    {ELOOP, win::wsaeloop},
    {ENAMETOOLONG, win::wsaenametoolong},
    {EHOSTDOWN, win::wsaehostdown},
    {EHOSTUNREACH, win::wsaehostunreach},
    {EPIPE, win::wsaeconnaborted},
};

int wsa_from_errno(int error) {
  for (const errno_to_wsa &entry : errno_table)
    if (entry.error == error)
      return entry.wsa;
  return win::wsaeopnotsupp;
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
    return win::wsaeopnotsupp;
  if ((flags & win::msg_peek) != 0)
    *linux_flags |= MSG_PEEK;
  return 0;
}

std::atomic<int> startups{0};

} // namespace

int WSAStartup(WORD version_requested, WSADATA *data) {
  if (data == nullptr)
    return win::wsaefault;
  const BYTE major = static_cast<BYTE>(version_requested & 0xFF);
  const BYTE minor = static_cast<BYTE>(version_requested >> 8);
  if (major == 0)
    return win::wsavernotsupported;
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
      return fail(win::wsanotinitialised);
  } while (!startups.compare_exchange_weak(count, count - 1));
  return 0;
}

SOCKET socket(int af, int type, int protocol) {
  if (af != win::af_inet) {
    WSASetLastError(win::wsaeafnosupport);
    return invalid_socket;
  }
  if (type != win::sock_stream) {
    WSASetLastError(win::wsaesocktnosupport);
    return invalid_socket;
  }
  if (protocol != 0 && protocol != win::ipproto_tcp) {
    WSASetLastError(win::wsaeprotonosupport);
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
    return fail(win::wsaenotsock);
  if (name == nullptr || namelen < static_cast<int>(sizeof(winapi::sockaddr_in)))
    return fail(win::wsaefault);
  winapi::sockaddr_in windows_address;
  memcpy(&windows_address, name, sizeof(windows_address));
  if (windows_address.sin_family != win::af_inet)
    return fail(win::wsaeafnosupport);
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
    return fail(win::wsaenotsock);
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
    return win::wsaeintr;
  case EPROTO:
  case ENOPROTOOPT:
  case EHOSTDOWN:
  case ENONET:
  case EHOSTUNREACH:
  case EOPNOTSUPP:
  case ENETDOWN:
  case ENETUNREACH:
    return win::wsaeconnaborted;
  default:
    return wsa_from_errno(error);
  }
}

} // namespace

SOCKET accept(SOCKET s, winapi::sockaddr *addr, int *addrlen) {
  const int fd = descriptor(s);
  if (fd < 0) {
    WSASetLastError(win::wsaenotsock);
    return invalid_socket;
  }
  if (addr != nullptr && (addrlen == nullptr || *addrlen < static_cast<int>(sizeof(winapi::sockaddr_in)))) {
    WSASetLastError(win::wsaefault);
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
    return fail(win::wsaenotsock);
  if (len < 0 || (buf == nullptr && len > 0))
    return fail(win::wsaefault);
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
    return fail(win::wsaenotsock);
  if (len < 0 || (buf == nullptr && len > 0))
    return fail(win::wsaefault);
  if (flags != 0)
    return fail(win::wsaeopnotsupp);
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
    return fail(win::wsaenotsock);
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
      return fail(win::wsaenoprotoopt);
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
      return fail(win::wsaenoprotoopt);
    }
  } else {
    return fail(win::wsaenoprotoopt);
  }

  if (optval == nullptr)
    return fail(win::wsaefault);
  int result;
  if (linux_name == SO_LINGER && linux_level == SOL_SOCKET) {
    if (optlen < static_cast<int>(sizeof(winapi::linger)))
      return fail(win::wsaefault);
    winapi::linger windows_linger;
    memcpy(&windows_linger, optval, sizeof(windows_linger));
    const ::linger value{windows_linger.l_onoff != 0 ? 1 : 0, windows_linger.l_linger};
    result = ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
  } else if ((linux_name == SO_RCVTIMEO || linux_name == SO_SNDTIMEO) && linux_level == SOL_SOCKET) {
    if (optlen < static_cast<int>(sizeof(DWORD)))
      return fail(win::wsaefault);
    DWORD milliseconds;
    memcpy(&milliseconds, optval, sizeof(milliseconds));
    const timeval value{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>(milliseconds % 1000) * 1000};
    result = ::setsockopt(fd, SOL_SOCKET, linux_name, &value, sizeof(value));
  } else {
    if (optlen < static_cast<int>(sizeof(int)))
      return fail(win::wsaefault);
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
    return fail(win::wsaenotsock);
  if (name == nullptr || namelen == nullptr || *namelen < static_cast<int>(sizeof(winapi::sockaddr_in)))
    return fail(win::wsaefault);
  ::sockaddr_in address{};
  socklen_t size = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<::sockaddr *>(&address), &size) != 0)
    return fail_errno();
  // Linux reports an unbound socket as 0.0.0.0:0; Windows fails.
  if (address.sin_family != AF_INET || address.sin_port == 0)
    return fail(win::wsaeinval);
  winapi::sockaddr_in windows_address;
  to_windows(address, windows_address);
  memcpy(name, &windows_address, sizeof(windows_address));
  *namelen = sizeof(windows_address);
  return 0;
}

int shutdown(SOCKET s, int how) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(win::wsaenotsock);
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
    return fail(win::wsaeinval);
  }
  if (::shutdown(fd, linux_how) != 0)
    return fail_errno();
  return 0;
}

int closesocket(SOCKET s) {
  const int fd = descriptor(s);
  if (fd < 0)
    return fail(win::wsaenotsock);
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

u_long(htonl)(u_long host) {
  if constexpr (std::endian::native == std::endian::little)
    return __builtin_bswap32(host);
  return host;
}

u_long(ntohl)(u_long net) {
  return (htonl)(net);
}

} // namespace winapi
