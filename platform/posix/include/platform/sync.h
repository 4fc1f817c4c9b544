// Events, threads and handles with Windows semantics (Win32 names).
#pragma once

#include "platform/win_types.h"

namespace winapi {

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000;
// GetExitCodeThread's code for a thread that has not ended.
inline constexpr DWORD STILL_ACTIVE = 0x00000103;

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};

// Unnamed events only (name must be null). Returns null on failure.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCWSTR name);
// Signals the event. An auto-reset event wakes one waiter, which consumes
// the signal; a manual-reset event wakes every waiter and stays signalled.
// Calls on different events share no lock.
BOOL SetEvent(HANDLE event);

// Event: WAIT_OBJECT_0 when signalled (an auto-reset event is consumed by
// exactly one waiter). Thread: WAIT_OBJECT_0 once the thread has ended.
// WAIT_TIMEOUT after `milliseconds` (INFINITE waits without limit).
// WAIT_FAILED with ERROR_INVALID_HANDLE for a handle that is not open, and
// for every waiter of an event whose last handle is closed during the wait.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Closes one handle. Closing an event's last handle releases all its waiters.
// A thread handle may be closed by the thread itself while others wait on it:
// their waits still return only once the thread has ended.
BOOL CloseHandle(HANDLE handle);

// Starts a thread. `stack_size` is a reservation of at least 1 MiB; the only
// creation flag accepted is STACK_SIZE_PARAM_IS_A_RESERVATION.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine,
                    LPVOID argument, DWORD creation_flags, DWORD *thread_id);

// Stops a thread that is blocked in a socket call or an event wait (or about
// to enter one) and, unlike Windows, returns only once it has ended, so that
// the caller may free what the thread used. The thread's stack is unwound.
// Must not be called on the calling thread itself.
BOOL TerminateThread(HANDLE thread, DWORD exit_code);
BOOL GetExitCodeThread(HANDLE thread, DWORD *exit_code);

void GetSystemInfo(SYSTEM_INFO *info);
void Sleep(DWORD milliseconds);

} // namespace winapi
