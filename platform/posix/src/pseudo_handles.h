// Handles that name an object of the process itself and have no entry in the
// handle table. Their values are Windows' own pseudo handles, which never
// collide with table handles (those have a nonzero generation in the high
// half and a small index in the low half). Closing one does nothing.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace winapi::pseudo {

// GetCurrentProcess().
inline HANDLE const current_process = reinterpret_cast<HANDLE>(intptr_t{-1});
// GetCurrentProcessToken(): the token that OpenProcessToken hands out.
inline HANDLE const current_process_token = reinterpret_cast<HANDLE>(intptr_t{-4});

inline bool is_pseudo_handle(HANDLE handle) {
  return handle == current_process || handle == current_process_token;
}

} // namespace winapi::pseudo
