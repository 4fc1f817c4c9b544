// The system's message texts for error codes: Windows' own English texts
// for the codes that this layer and the relay report. The Windows Sockets
// texts come from the list of socket error codes.
#include <cstdlib>
#include <cwchar>
#include <span>

#include "platform/console.h"
#include "platform/wsa_errors.h"

namespace winapi {
namespace {

struct message {
  DWORD code;
  const wchar_t *text;
};

constexpr message system_messages[] = {
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
};

#define WSA_ERROR_TEXT(name, code, errors, text) {code, text},
constexpr message socket_messages[] = {WSA_ERROR_MAP(WSA_ERROR_TEXT)};
#undef WSA_ERROR_TEXT

const wchar_t *find_in(std::span<const message> table, DWORD code) {
  for (const message &entry : table)
    if (entry.code == code)
      return entry.text;
  return nullptr;
}

const wchar_t *find_message(DWORD code) {
  if (const wchar_t *text = find_in(system_messages, code))
    return text;
  return find_in(socket_messages, code);
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
