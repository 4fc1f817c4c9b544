// The system's message texts for error codes: Windows' own English texts,
// in one table, for the codes that this layer and the relay report.
#include <cstdlib>
#include <cwchar>

#include "platform/console.h"

namespace winapi {
namespace {

struct message {
  DWORD code;
  const wchar_t *text;
};

constexpr message messages[] = {
    {0, L"The operation completed successfully."},
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {14, L"Not enough memory resources are available to complete this operation."},
    {50, L"The request is not supported."},
    {87, L"The parameter is incorrect."},
    {120, L"This function is not supported on this system."},
    {122, L"The data area passed to a system call is too small."},
    {126, L"The specified module could not be found."},
    {127, L"The specified procedure could not be found."},
    {258, L"The wait operation timed out."},
    {487, L"Attempt to access invalid address."},
    {1300, L"Not all privileges or groups referenced are assigned to the caller."},
    {1313, L"A specified privilege does not exist."},
    {1314, L"A required privilege is not held by the client."},
    {1450, L"Insufficient system resources exist to complete the requested service."},
    {1453, L"Insufficient quota to complete the requested service."},
    {1455, L"The paging file is too small for this operation to complete."},
    {10004, L"A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, L"The file handle supplied is not valid."},
    {10013, L"An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014, L"The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {10022, L"An invalid argument was supplied."},
    {10024, L"Too many open sockets."},
    {10035, L"A non-blocking socket operation could not be completed immediately."},
    {10036, L"A blocking operation is currently executing."},
    {10037, L"An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {10038, L"An operation was attempted on something that is not a socket."},
    {10039, L"A required address was omitted from an operation on a socket."},
    {10040, L"A message sent on a datagram socket was larger than the internal message buffer or some other network "
            L"limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
    {10041, L"A protocol was specified in the socket function call that does not support the semantics of the socket "
            L"type requested."},
    {10042, L"An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call."},
    {10043, L"The requested protocol has not been configured into the system, or no implementation for it exists."},
    {10044, L"The support for the specified socket type does not exist in this address family."},
    {10045, L"The attempted operation is not supported for the type of object referenced."},
    {10046, L"The protocol family has not been configured into the system or no implementation for it exists."},
    {10047, L"An address incompatible with the requested protocol was used."},
    {10048, L"Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, L"The requested address is not valid in its context."},
    {10050, L"A socket operation encountered a dead network."},
    {10051, L"A socket operation was attempted to an unreachable network."},
    {10052, L"The connection has been broken due to keep-alive activity detecting a failure while the operation was in "
            L"progress."},
    {10053, L"An established connection was aborted by the software in your host machine."},
    {10054, L"An existing connection was forcibly closed by the remote host."},
    {10055, L"An operation on a socket could not be performed because the system lacked sufficient buffer space or "
            L"because a queue was full."},
    {10056, L"A connect request was made on an already connected socket."},
    {10057, L"A request to send or receive data was disallowed because the socket is not connected and (when sending "
            L"on a datagram socket using a sendto call) no address was supplied."},
    {10058, L"A request to send or receive data was disallowed because the socket had already been shut down in that "
            L"direction with a previous shutdown call."},
    {10059, L"Too many references to some kernel object."},
    {10060, L"A connection attempt failed because the connected party did not properly respond after a period of "
            L"time, or established connection failed because connected host has failed to respond."},
    {10061, L"No connection could be made because the target machine actively refused it."},
    {10062, L"Cannot translate name."},
    {10063, L"Name component or name was too long."},
    {10064, L"A socket operation failed because the destination host was down."},
    {10065, L"A socket operation was attempted to an unreachable host."},
    {10091, L"WSAStartup cannot function at this time because the underlying system it uses to provide network "
            L"services is currently unavailable."},
    {10092, L"The Windows Sockets version requested is not supported."},
    {10093, L"Either the application has not called WSAStartup, or WSAStartup failed."},
};

const wchar_t *find_message(DWORD code) {
  for (const message &entry : messages)
    if (entry.code == code)
      return entry.text;
  return nullptr;
}

constexpr wchar_t line_end[] = L"\r\n";

} // namespace

// Only FORMAT_MESSAGE_FROM_SYSTEM is served, in English whatever the
// language; the texts have no inserts. Without
// FORMAT_MESSAGE_ALLOCATE_BUFFER the text is copied into `buffer` of `size`
// characters.
DWORD FormatMessageW(DWORD flags, const void *, DWORD message_id, DWORD, wchar_t *buffer, DWORD size, void *) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const wchar_t *text = find_message(message_id);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const size_t length = wcslen(text) + wcslen(line_end);
  wchar_t *target = buffer;
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    target = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
    if (target == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    *reinterpret_cast<wchar_t **>(buffer) = target;
  } else if (size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  wcscpy(target, text);
  wcscat(target, line_end);
  return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
  free(memory);
  return nullptr;
}

} // namespace winapi
