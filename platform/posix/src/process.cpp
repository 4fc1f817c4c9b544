// Process priority, debugger detection, exit and the console control
// handler over Linux's nice values, /proc and signals.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "exit_status.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "pseudo_handles.h"

namespace winapi {
namespace {

// The nice value that stands for Windows' high priority class.
constexpr int high_priority_nice = -10;

} // namespace

HANDLE GetCurrentProcess() {
  return pseudo::current_process;
}

// Linux keeps a nice value per thread and new threads inherit it, so this
// takes effect for the process when it is called before other threads
// exist. Raising the priority needs CAP_SYS_NICE; without it the call fails
// with ERROR_PRIVILEGE_NOT_HELD.
BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
  if (process != pseudo::current_process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (priority_class != HIGH_PRIORITY_CLASS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (setpriority(PRIO_PROCESS, 0, high_priority_nice) != 0) {
    SetLastError(errno == EPERM || errno == EACCES ? ERROR_PRIVILEGE_NOT_HELD : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

// Linux's scheduler has no dynamic priority boost to switch off.
BOOL SetProcessPriorityBoost(HANDLE process, BOOL) {
  if (process != pseudo::current_process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// A tracer (a debugger, strace) shows as a nonzero TracerPid.
BOOL IsDebuggerPresent() {
  FILE *status = fopen("/proc/self/status", "re");
  if (status == nullptr)
    return FALSE;
  char line[256];
  long tracer = 0;
  while (fgets(line, sizeof(line), status) != nullptr) {
    if (strncmp(line, "TracerPid:", 10) == 0) {
      tracer = strtol(line + 10, nullptr, 10);
      break;
    }
  }
  fclose(status);
  return tracer != 0 ? TRUE : FALSE;
}

// Like Windows, no destructor of the program runs; the C streams are flushed
// so that console output written before the exit is not lost.
void ExitProcess(UINT exit_code) {
  fflush(nullptr);
  _exit(exit_status(exit_code));
}

namespace {

// The console events arrive as signals. They are blocked in the thread that
// installs the first routine, and so in every thread it creates later, and
// one thread of the layer takes them with sigwait.
struct control_state {
  std::mutex mutex;
  std::vector<PHANDLER_ROUTINE> routines;
  bool running = false;
  pthread_t thread{};
  sigset_t blocked_before{};
};

control_state &control() {
  static control_state *const state = new control_state;
  return *state;
}

const int control_signals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t control_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : control_signals)
    sigaddset(&set, signal_number);
  return set;
}

DWORD control_event(int signal_number) {
  switch (signal_number) {
  case SIGINT:
    return CTRL_C_EVENT;
  case SIGHUP:
    return CTRL_CLOSE_EVENT;
  default:
    return CTRL_SHUTDOWN_EVENT;
  }
}

// Routines run newest first until one returns TRUE, as on Windows.
bool dispatch(DWORD event) {
  std::vector<PHANDLER_ROUTINE> routines;
  {
    std::lock_guard<std::mutex> hold(control().mutex);
    routines = control().routines;
  }
  return std::any_of(routines.rbegin(), routines.rend(), [event](PHANDLER_ROUTINE r) { return r(event) != FALSE; });
}

// Nobody handled the event: the signal takes its default action, so the
// process ends as it would without a handler.
void default_action(int signal_number) {
  fflush(nullptr);
  signal(signal_number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal_number);
}

void *control_thread_main(void *) {
  const sigset_t set = control_signal_set();
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0)
      continue;
    // The routine runs to its end; the removal's cancellation acts at the
    // next sigwait.
    int previous;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    if (!dispatch(control_event(signal_number)))
      default_action(signal_number);
    pthread_setcancelstate(previous, nullptr);
  }
  return nullptr;
}

BOOL add_routine(PHANDLER_ROUTINE routine) {
  control_state &state = control();
  std::lock_guard<std::mutex> hold(state.mutex);
  if (!state.running) {
    const sigset_t set = control_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, &state.blocked_before);
    const int created = pthread_create(&state.thread, nullptr, control_thread_main, nullptr);
    if (created != 0) {
      pthread_sigmask(SIG_SETMASK, &state.blocked_before, nullptr);
      SetLastError(created == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    state.running = true;
  }
  state.routines.push_back(routine);
  return TRUE;
}

// Removing the last routine ends the dispatch thread, joined here so that no
// thread is left behind, and unblocks the signals in the calling thread
// that the first installation blocked.
BOOL remove_routine(PHANDLER_ROUTINE routine) {
  control_state &state = control();
  pthread_t thread;
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    auto found = std::find(state.routines.rbegin(), state.routines.rend(), routine);
    if (found == state.routines.rend()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    state.routines.erase(std::next(found).base());
    if (!state.routines.empty() || !state.running)
      return TRUE;
    state.running = false;
    thread = state.thread;
  }
  pthread_cancel(thread);
  if (pthread_equal(thread, pthread_self())) {
    // A routine removed itself: the thread ends once it returns.
    pthread_detach(thread);
    return TRUE;
  }
  pthread_join(thread, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  for (int signal_number : control_signals)
    if (sigismember(&state.blocked_before, signal_number) == 0)
      sigaddset(&unblock, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  return TRUE;
}

} // namespace

// After a routine returns TRUE the process goes on: unlike Windows, which
// ends the process once a close or shutdown event has been handled, the
// routine is expected to start the orderly stop itself.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return add ? add_routine(routine) : remove_routine(routine);
}

} // namespace winapi
