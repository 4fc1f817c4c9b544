// Console and runtime services with Windows semantics.
#pragma once

#include "platform/win_types.h"

namespace winapi {

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a wchar_t ** that
// receives a LocalAlloc'ed text ending in "\r\n". Returns the text's length,
// 0 when the system has no text for the code.
DWORD FormatMessageW(DWORD flags, const void *source, DWORD message_id, DWORD language_id, wchar_t *buffer, DWORD size,
                     void *arguments);
HLOCAL LocalFree(HLOCAL memory);

wchar_t *_wsetlocale(int category, const wchar_t *locale);
int _wtoi(const wchar_t *text);
int _wcsicmp(const wchar_t *a, const wchar_t *b);

} // namespace winapi
