// Events, threads and handles. Windows' own calls, except where the relay
// needs more than they give:
// - closing an event releases every waiter, each with WAIT_FAILED and
//   ERROR_INVALID_HANDLE (Windows keeps them waiting);
// - a thread that closes its own handle keeps it open until it ends, so a wait
//   through that handle lasts until the end;
// - TerminateThread returns only once the thread has ended, so that the
//   caller may free what the thread used.
#pragma once

#include "platform/win_types.h"

namespace winapi {

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCWSTR name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine,
                    LPVOID argument, DWORD creation_flags, DWORD *thread_id);
BOOL TerminateThread(HANDLE thread, DWORD exit_code);

} // namespace winapi

// The SDK declares the plain calls globally, so an unqualified call would be
// ambiguous beside `using namespace winapi`; these names pick this side's.
#ifndef RELAYHUB_WIN32_SYNC_SOURCE
#define CreateEventW winapi::CreateEventW
#define SetEvent winapi::SetEvent
#define WaitForSingleObject winapi::WaitForSingleObject
#define CloseHandle winapi::CloseHandle
#define CreateThread winapi::CreateThread
#define TerminateThread winapi::TerminateThread
#endif
