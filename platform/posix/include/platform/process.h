// Process-wide services with Windows semantics: priority, debugger, exit,
// and the console control handler.
#pragma once

#include "platform/win_types.h"

namespace winapi {

inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080;

inline constexpr DWORD CTRL_C_EVENT = 0;
inline constexpr DWORD CTRL_BREAK_EVENT = 1;
inline constexpr DWORD CTRL_CLOSE_EVENT = 2;
inline constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrl_type);

BOOL SetPriorityClass(HANDLE process, DWORD priority_class);
BOOL SetProcessPriorityBoost(HANDLE process, BOOL disable_boost);
BOOL IsDebuggerPresent();
[[noreturn]] void ExitProcess(UINT exit_code);

// Runs `routine` on a thread of its own when the user interrupts or the
// system stops the process (SIGINT: CTRL_C_EVENT, SIGHUP: CTRL_CLOSE_EVENT,
// SIGTERM: CTRL_SHUTDOWN_EVENT). Call it before creating other threads.
// Removing the routine (add FALSE) ends that thread.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);

} // namespace winapi
