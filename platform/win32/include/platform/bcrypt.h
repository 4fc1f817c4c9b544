// Windows CNG hashing (bcrypt).
#pragma once

#include "platform/win_types.h"

#include <bcrypt.h>

// winnt.h has only a few status codes; the others the relay meets, with
// Windows' values.
namespace winapi {

#ifndef STATUS_SUCCESS
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
#endif
#ifndef STATUS_BUFFER_TOO_SMALL
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
#endif
#ifndef STATUS_NOT_SUPPORTED
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
#endif
#ifndef STATUS_NOT_FOUND
inline constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225);
#endif

} // namespace winapi
