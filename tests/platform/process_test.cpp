#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/memory.h"
#include "platform/sync.h"
#include "support/thread_state.h"

namespace {

std::atomic<DWORD> last_event{0xFFFFFFFF};
std::atomic<uint32_t> routine_thread{0};
std::atomic<int> calls{0};

BOOL record_event(DWORD event) {
  last_event = event;
  routine_thread = current_thread_id();
  calls.fetch_add(1);
  return TRUE;
}

bool task_exists(uint32_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid);
  return access(path.c_str(), F_OK) == 0;
}

// Signals sent to the process reach the routine on the layer's thread, and
// removing the routine ends that thread. Run in a child process of its own,
// where no other thread could take the signal.
void deliver_signals_to_the_routine() {
  if (!SetConsoleCtrlHandler(record_event, TRUE))
    _exit(10);
  const struct {
    int signal_number;
    DWORD event;
  } rows[] = {{SIGTERM, CTRL_SHUTDOWN_EVENT}, {SIGINT, CTRL_C_EVENT}, {SIGHUP, CTRL_CLOSE_EVENT}};
  for (const auto &r : rows) {
    const int calls_before = calls.load();
    kill(getpid(), r.signal_number);
    for (int waited = 0; calls.load() == calls_before && waited < 5000; ++waited)
      Sleep(1);
    if (calls.load() != calls_before + 1 || last_event.load() != r.event)
      _exit(11);
    if (routine_thread.load() == current_thread_id())
      _exit(12);
  }
  if (!SetConsoleCtrlHandler(record_event, FALSE))
    _exit(13);
  // The kernel drops the task a moment after the join has returned.
  for (int waited = 0; task_exists(routine_thread.load()) && waited < 1000; ++waited)
    Sleep(1);
  if (task_exists(routine_thread.load()))
    _exit(14);
  if (SetConsoleCtrlHandler(record_event, FALSE))
    _exit(15);
  fprintf(stderr, "all events delivered");
  _exit(0);
}

TEST(PlatformProcessTest, ConsoleControlRoutineRunsOnItsOwnThreadUntilRemoved) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(deliver_signals_to_the_routine(), testing::ExitedWithCode(0), "all events delivered");
}

TEST(PlatformProcessTest, ExitProcessKeepsBufferedOutput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child is this program run again, so the name cannot hold its pid;
  // the working directory is the build's own.
  const std::string path = "platform_exit_process_output.txt";
  EXPECT_EXIT(
      {
        FILE *file = fopen(path.c_str(), "w");
        setvbuf(file, nullptr, _IOFBF, 4096);
        fputs("buffered", file);
        ExitProcess(3);
      },
      testing::ExitedWithCode(3), "");
  std::ifstream written(path);
  std::stringstream text;
  text << written.rdbuf();
  EXPECT_EQ(text.str(), "buffered");
  remove(path.c_str());
}

// A POSIX parent sees only the low 8 bits of a code; a failure must never
// read as success there.
TEST(PlatformProcessTest, ExitProcessNeverTurnsAFailureIntoSuccess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitProcess(10048), testing::ExitedWithCode(10048 & 0xFF), "");
  EXPECT_EXIT(ExitProcess(0x2A00), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(ExitProcess(0), testing::ExitedWithCode(0), "");
}

TEST(PlatformProcessTest, HighPriorityIsANegativeNiceValueOrAPrivilegeFailure) {
  errno = 0;
  const int before = getpriority(PRIO_PROCESS, 0);
  ASSERT_EQ(errno, 0);
  if (SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) {
    EXPECT_LT(getpriority(PRIO_PROCESS, 0), 0);
    setpriority(PRIO_PROCESS, 0, before);
  } else {
    EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
  }
  EXPECT_TRUE(SetProcessPriorityBoost(GetCurrentProcess(), TRUE));
  EXPECT_FALSE(SetPriorityClass(nullptr, HIGH_PRIORITY_CLASS));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
