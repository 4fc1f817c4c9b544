// Process memory services with Windows semantics: large pages, the
// lock-memory privilege, physical pages (AWE), working set, locking, heaps.
#pragma once

#include "platform/win_types.h"

namespace winapi {

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};

inline constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x00000001;
inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
inline constexpr DWORD MEM_COMMIT = 0x00001000;
inline constexpr DWORD MEM_RESERVE = 0x00002000;
inline constexpr DWORD MEM_RELEASE = 0x00008000;
inline constexpr DWORD MEM_PHYSICAL = 0x00400000;
inline constexpr DWORD PAGE_READWRITE = 0x04;

HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
FARPROC GetProcAddress(HMODULE module, const char *name);
BOOL FreeLibrary(HMODULE module);
SIZE_T GetLargePageMinimum();

HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE *token);
BOOL LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, LUID *luid);
// Succeeds, and leaves ERROR_NOT_ALL_ASSIGNED as the last error when the
// privilege is not held.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES *state, DWORD length,
                           TOKEN_PRIVILEGES *previous, DWORD *return_length);

BOOL AllocateUserPhysicalPages(HANDLE process, ULONG_PTR *page_count, ULONG_PTR *page_frames);
BOOL MapUserPhysicalPages(LPVOID address, ULONG_PTR page_count, ULONG_PTR *page_frames);
BOOL FreeUserPhysicalPages(HANDLE process, ULONG_PTR *page_count, ULONG_PTR *page_frames);
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type);
BOOL VirtualLock(LPVOID address, SIZE_T size);
BOOL VirtualUnlock(LPVOID address, SIZE_T size);
BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum);

HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

void *_aligned_malloc(size_t size, size_t alignment);
void _aligned_free(void *memory);

} // namespace winapi
