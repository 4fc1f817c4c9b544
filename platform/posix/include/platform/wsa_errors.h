// The Windows Sockets error codes that this layer reports, in one list:
// name, Windows' value, the errno values that map to the code, and Windows'
// own English message text. The constants of platform/winsock.h, the errno
// translation of the socket calls and the texts of FormatMessageW are all
// expanded from it, so they cannot drift apart.
//
// The errno names are only spelt here; they are expanded only inside the
// socket implementation, which includes the system's <cerrno>. Each errno
// appears at most once. Sockets here are always blocking, so EAGAIN only
// comes from an expired SO_RCVTIMEO or SO_SNDTIMEO, which Windows reports as
// WSAETIMEDOUT.
// EPIPE means the local end was shut down or the peer is gone; Windows
// reports such sends as aborted, an ordinary end of a connection.
#pragma once

// XX(name, code, (errno, ...), text)
#define WSA_ERROR_MAP(XX)                                                                                              \
  XX(WSAEINTR, 10004, (EINTR), L"A blocking operation was interrupted by a call to WSACancelBlockingCall.")            \
  XX(WSAEBADF, 10009, (EBADF), L"The file handle supplied is not valid.")                                              \
  XX(WSAEACCES, 10013, (EACCES, EPERM),                                                                                \
     L"An attempt was made to access a socket in a way forbidden by its access permissions.")                          \
  XX(WSAEFAULT, 10014, (EFAULT),                                                                                       \
     L"The system detected an invalid pointer address in attempting to use a pointer argument in a call.")             \
  XX(WSAEINVAL, 10022, (EINVAL), L"An invalid argument was supplied.")                                                 \
  XX(WSAEMFILE, 10024, (EMFILE, ENFILE), L"Too many open sockets.")                                                    \
  XX(WSAEWOULDBLOCK, 10035, (), L"A non-blocking socket operation could not be completed immediately.")                \
  XX(WSAEINPROGRESS, 10036, (EINPROGRESS), L"A blocking operation is currently executing.")                            \
  XX(WSAEALREADY, 10037, (EALREADY),                                                                                   \
     L"An operation was attempted on a non-blocking socket that already had an operation in progress.")                \
  XX(WSAENOTSOCK, 10038, (ENOTSOCK), L"An operation was attempted on something that is not a socket.")                 \
  XX(WSAEDESTADDRREQ, 10039, (EDESTADDRREQ), L"A required address was omitted from an operation on a socket.")         \
  XX(WSAEMSGSIZE, 10040, (EMSGSIZE),                                                                                   \
     L"A message sent on a datagram socket was larger than the internal message buffer or some other "                 \
     L"network limit, or the buffer used to receive a datagram into was smaller than the datagram itself.")            \
  XX(WSAEPROTOTYPE, 10041, (EPROTOTYPE),                                                                               \
     L"A protocol was specified in the socket function call that does not support the semantics of the "               \
     L"socket type requested.")                                                                                        \
  XX(WSAENOPROTOOPT, 10042, (ENOPROTOOPT),                                                                             \
     L"An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt "               \
     L"call.")                                                                                                         \
  XX(WSAEPROTONOSUPPORT, 10043, (EPROTONOSUPPORT),                                                                     \
     L"The requested protocol has not been configured into the system, or no implementation for it exists.")           \
  XX(WSAESOCKTNOSUPPORT, 10044, (ESOCKTNOSUPPORT),                                                                     \
     L"The support for the specified socket type does not exist in this address family.")                              \
  XX(WSAEOPNOTSUPP, 10045, (EOPNOTSUPP),                                                                               \
     L"The attempted operation is not supported for the type of object referenced.")                                   \
  XX(WSAEPFNOSUPPORT, 10046, (EPFNOSUPPORT),                                                                           \
     L"The protocol family has not been configured into the system or no implementation for it exists.")               \
  XX(WSAEAFNOSUPPORT, 10047, (EAFNOSUPPORT), L"An address incompatible with the requested protocol was used.")         \
  XX(WSAEADDRINUSE, 10048, (EADDRINUSE),                                                                               \
     L"Only one usage of each socket address (protocol/network address/port) is normally permitted.")                  \
  XX(WSAEADDRNOTAVAIL, 10049, (EADDRNOTAVAIL), L"The requested address is not valid in its context.")                  \
  XX(WSAENETDOWN, 10050, (ENETDOWN), L"A socket operation encountered a dead network.")                                \
  XX(WSAENETUNREACH, 10051, (ENETUNREACH), L"A socket operation was attempted to an unreachable network.")             \
  XX(WSAENETRESET, 10052, (ENETRESET),                                                                                 \
     L"The connection has been broken due to keep-alive activity detecting a failure while the operation "             \
     L"was in progress.")                                                                                              \
  XX(WSAECONNABORTED, 10053, (ECONNABORTED, EPIPE),                                                                    \
     L"An established connection was aborted by the software in your host machine.")                                   \
  XX(WSAECONNRESET, 10054, (ECONNRESET), L"An existing connection was forcibly closed by the remote host.")            \
  XX(WSAENOBUFS, 10055, (ENOBUFS, ENOMEM),                                                                             \
     L"An operation on a socket could not be performed because the system lacked sufficient buffer space or "          \
     L"because a queue was full.")                                                                                     \
  XX(WSAEISCONN, 10056, (EISCONN), L"A connect request was made on an already connected socket.")                      \
  XX(WSAENOTCONN, 10057, (ENOTCONN),                                                                                   \
     L"A request to send or receive data was disallowed because the socket is not connected and (when "                \
     L"sending on a datagram socket using a sendto call) no address was supplied.")                                    \
  XX(WSAESHUTDOWN, 10058, (ESHUTDOWN),                                                                                 \
     L"A request to send or receive data was disallowed because the socket had already been shut down in "             \
     L"that direction with a previous shutdown call.")                                                                 \
  XX(WSAETOOMANYREFS, 10059, (ETOOMANYREFS), L"Too many references to some kernel object.")                            \
  XX(WSAETIMEDOUT, 10060, (EAGAIN, ETIMEDOUT),                                                                         \
     L"A connection attempt failed because the connected party did not properly respond after a period of "            \
     L"time, or established connection failed because connected host has failed to respond.")                          \
  XX(WSAECONNREFUSED, 10061, (ECONNREFUSED),                                                                           \
     L"No connection could be made because the target machine actively refused it.")                                   \
  XX(WSAELOOP, 10062, (ELOOP), L"Cannot translate name.")                                                              \
  XX(WSAENAMETOOLONG, 10063, (ENAMETOOLONG), L"Name component or name was too long.")                                  \
  XX(WSAEHOSTDOWN, 10064, (EHOSTDOWN), L"A socket operation failed because the destination host was down.")            \
  XX(WSAEHOSTUNREACH, 10065, (EHOSTUNREACH), L"A socket operation was attempted to an unreachable host.")              \
  XX(WSASYSNOTREADY, 10091, (),                                                                                        \
     L"WSAStartup cannot function at this time because the underlying system it uses to provide network "              \
     L"services is currently unavailable.")                                                                            \
  XX(WSAVERNOTSUPPORTED, 10092, (), L"The Windows Sockets version requested is not supported.")                        \
  XX(WSANOTINITIALISED, 10093, (), L"Either the application has not called WSAStartup, or WSAStartup failed.")

namespace winapi {

#define WSA_ERROR_CONSTANT(name, code, errors, text) inline constexpr int name = code;
WSA_ERROR_MAP(WSA_ERROR_CONSTANT)
#undef WSA_ERROR_CONSTANT

} // namespace winapi
