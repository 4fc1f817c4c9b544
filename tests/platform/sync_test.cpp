#include "platform/sync.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/thread_state.h"

namespace {

using steady = std::chrono::steady_clock;

// Every wait of these tests ends by then, even when the code under test is
// broken.
constexpr DWORD bounded_ms = 5000;

long long elapsed_ms(steady::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count();
}

// A thread that waits once on `handle` and records what it saw.
struct waiter {
  HANDLE handle = nullptr;
  DWORD timeout = bounded_ms;
  DWORD result = 0;
  DWORD error = 0;
  HANDLE thread = nullptr;
  DWORD thread_id = 0;
};

DWORD wait_once(LPVOID parameter) {
  auto *w = static_cast<waiter *>(parameter);
  SetLastError(0);
  w->result = WaitForSingleObject(w->handle, w->timeout);
  w->error = GetLastError();
  return 0;
}

std::vector<std::unique_ptr<waiter>> start_waiters(HANDLE handle, int count, DWORD timeout) {
  std::vector<std::unique_ptr<waiter>> waiters;
  for (int i = 0; i < count; ++i) {
    auto w = std::make_unique<waiter>();
    w->handle = handle;
    w->timeout = timeout;
    w->thread = CreateThread(nullptr, 0, wait_once, w.get(), 0, &w->thread_id);
    EXPECT_NE(w->thread, nullptr);
    waiters.push_back(std::move(w));
  }
  for (auto &w : waiters)
    EXPECT_TRUE(wait_until_sleeping(w->thread_id, bounded_ms));
  return waiters;
}

void join_waiters(std::vector<std::unique_ptr<waiter>> &waiters) {
  for (auto &w : waiters) {
    EXPECT_EQ(WaitForSingleObject(w->thread, bounded_ms), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(w->thread));
  }
}

TEST(PlatformEventTest, InitialStateAndResetKind) {
  struct row {
    BOOL manual_reset;
    BOOL initial_state;
    DWORD first_wait;
    DWORD second_wait;
  };
  const row rows[] = {
      {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
      {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
      {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
      {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(testing::Message() << "manual " << r.manual_reset << " initial " << r.initial_state);
    HANDLE event = CreateEventW(nullptr, r.manual_reset, r.initial_state, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), r.first_wait);
    EXPECT_EQ(WaitForSingleObject(event, 0), r.second_wait);
    EXPECT_TRUE(CloseHandle(event));
  }
}

TEST(PlatformEventTest, TimedWaitLastsItsTimeout) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const auto start = steady::now();
  EXPECT_EQ(WaitForSingleObject(event, 80), WAIT_TIMEOUT);
  EXPECT_GE(elapsed_ms(start), 79);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(PlatformEventTest, AutoResetSignalIsConsumedByOneWaiter) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  auto waiters = start_waiters(event, 3, 400);
  EXPECT_TRUE(SetEvent(event));
  join_waiters(waiters);
  int released = 0;
  for (auto &w : waiters) {
    EXPECT_TRUE(w->result == WAIT_OBJECT_0 || w->result == WAIT_TIMEOUT) << w->result;
    released += w->result == WAIT_OBJECT_0;
  }
  EXPECT_EQ(released, 1);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));
}

// Voluntary context switches of one of this process's threads: a waiter
// that is woken and goes back to sleep adds one.
long voluntary_switches(DWORD thread_id) {
  std::ifstream status("/proc/self/task/" + std::to_string(thread_id) + "/status");
  const std::string key = "voluntary_ctxt_switches:";
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0)
      return std::stol(line.substr(key.size()));
  return -1;
}

std::vector<long> switches_of(const std::vector<std::unique_ptr<waiter>> &waiters) {
  std::vector<long> switches;
  for (auto &w : waiters)
    switches.push_back(voluntary_switches(w->thread_id));
  return switches;
}

// The counts once every waiter is parked: unchanged over 50 ms.
std::vector<long> settled_switches(const std::vector<std::unique_ptr<waiter>> &waiters) {
  std::vector<long> last = switches_of(waiters);
  const auto start = steady::now();
  while (elapsed_ms(start) < bounded_ms) {
    Sleep(50);
    std::vector<long> now = switches_of(waiters);
    if (now == last)
      break;
    last = now;
  }
  return last;
}

size_t ended_count(const std::vector<std::unique_ptr<waiter>> &waiters) {
  size_t ended = 0;
  for (auto &w : waiters)
    ended += WaitForSingleObject(w->thread, 0) == WAIT_OBJECT_0;
  return ended;
}

// One set of an auto-reset event wakes the one waiter that takes it; the
// others sleep on untouched, and closing the event releases them.
TEST(PlatformEventTest, AutoResetSetWakesOnlyTheWaiterThatTakesIt) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  auto waiters = start_waiters(event, 4, bounded_ms);
  const std::vector<long> before = settled_switches(waiters);
  EXPECT_TRUE(SetEvent(event));

  const auto start = steady::now();
  while (ended_count(waiters) == 0 && elapsed_ms(start) < bounded_ms)
    Sleep(1);
  std::vector<bool> still_waiting;
  for (auto &w : waiters)
    still_waiting.push_back(WaitForSingleObject(w->thread, 0) != WAIT_OBJECT_0);
  EXPECT_EQ(std::count(still_waiting.begin(), still_waiting.end(), true), 3);
  for (size_t i = 0; i < waiters.size(); ++i) {
    if (still_waiting[i]) {
      EXPECT_TRUE(wait_until_sleeping(waiters[i]->thread_id, bounded_ms));
      EXPECT_EQ(voluntary_switches(waiters[i]->thread_id), before[i])
          << "waiter " << i << " was woken for a signal it did not take";
    }
  }

  EXPECT_TRUE(CloseHandle(event));
  join_waiters(waiters);
  int taken = 0;
  for (auto &w : waiters) {
    if (w->result == WAIT_OBJECT_0) {
      ++taken;
      continue;
    }
    EXPECT_EQ(w->result, WAIT_FAILED);
    EXPECT_EQ(w->error, ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(taken, 1);
}

TEST(PlatformEventTest, ManualResetReleasesEveryWaiterAndStaysSignalled) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  auto waiters = start_waiters(event, 3, bounded_ms);
  EXPECT_TRUE(SetEvent(event));
  join_waiters(waiters);
  for (auto &w : waiters)
    EXPECT_EQ(w->result, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(PlatformEventTest, ClosingReleasesEveryWaiterWithInvalidHandle) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  auto waiters = start_waiters(event, 4, bounded_ms);
  const auto closed_at = steady::now();
  EXPECT_TRUE(CloseHandle(event));
  join_waiters(waiters);
  EXPECT_LT(elapsed_ms(closed_at), bounded_ms / 2);
  for (auto &w : waiters) {
    EXPECT_EQ(w->result, WAIT_FAILED);
    EXPECT_EQ(w->error, ERROR_INVALID_HANDLE);
  }
}

TEST(PlatformEventTest, HandlesThatAreNotOpenFailAtOnce) {
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(closed, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  // The freed entry is likely reused: the old handle must not reach it.
  HANDLE reused = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(reused, nullptr);

  const HANDLE not_open[] = {nullptr, reinterpret_cast<HANDLE>(uintptr_t{0x12345678}), closed};
  for (HANDLE handle : not_open) {
    SCOPED_TRACE(handle);
    SetLastError(0);
    const auto start = steady::now();
    EXPECT_EQ(WaitForSingleObject(handle, bounded_ms), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_LT(elapsed_ms(start), 1000);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(handle));
  }
  EXPECT_EQ(WaitForSingleObject(reused, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(reused));
}

// Threads keep setting and waiting on an event while it is closed and a new
// event is created, which likely gets the freed table entry: each call on
// the old handle reaches the old event or fails, and none reaches the new.
TEST(PlatformEventTest, CallsRacingACloseNeverReachTheNextEvent) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    HANDLE old_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(old_event, nullptr);
    std::atomic<int> unexpected{0};
    std::vector<std::thread> users;
    // Only the close makes a set fail.
    for (int i = 0; i < 2; ++i)
      users.emplace_back([&] {
        const auto start = steady::now();
        while (SetEvent(old_event) && elapsed_ms(start) < bounded_ms) {
          const DWORD result = WaitForSingleObject(old_event, 0);
          unexpected += result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT && result != WAIT_FAILED;
        }
      });
    // Holds the old event across the close, or meets the closed handle.
    users.emplace_back([&] {
      const auto start = steady::now();
      DWORD result = WAIT_OBJECT_0;
      while (result == WAIT_OBJECT_0 && elapsed_ms(start) < bounded_ms)
        result = WaitForSingleObject(old_event, bounded_ms);
      unexpected += result != WAIT_FAILED;
    });
    Sleep(1);
    EXPECT_TRUE(CloseHandle(old_event));
    HANDLE new_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(new_event, nullptr);
    for (auto &t : users)
      t.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(WaitForSingleObject(new_event, 0), WAIT_TIMEOUT) << "a call on the closed handle set the new event";
    CloseHandle(new_event);
  }
}

TEST(PlatformEventTest, NamedEventsAreRefused) {
  SetLastError(0);
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, L"name"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

struct worker {
  HANDLE go = nullptr;
  HANDLE self = nullptr;
  DWORD seen_thread_id = 0;
  BOOL terminate_self = TRUE;
  DWORD terminate_self_error = 0;
};

DWORD worker_main(LPVOID parameter) {
  auto *w = static_cast<worker *>(parameter);
  w->seen_thread_id = current_thread_id();
  if (WaitForSingleObject(w->go, bounded_ms) != WAIT_OBJECT_0)
    return 1;
  w->terminate_self = TerminateThread(w->self, 5);
  w->terminate_self_error = GetLastError();
  return 42;
}

TEST(PlatformThreadTest, WaitAndExitCodeFollowTheThreadsEnd) {
  worker w;
  w.go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(w.go, nullptr);
  DWORD thread_id = 0;
  HANDLE thread = CreateThread(nullptr, 0, worker_main, &w, STACK_SIZE_PARAM_IS_A_RESERVATION, &thread_id);
  ASSERT_NE(thread, nullptr);
  w.self = thread;

  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(w.go));
  EXPECT_EQ(WaitForSingleObject(thread, bounded_ms), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(thread_id, w.seen_thread_id);
  EXPECT_FALSE(w.terminate_self);
  EXPECT_EQ(w.terminate_self_error, ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(w.go));
}

TEST(PlatformThreadTest, CreationFlagsOtherThanReservationAreRefused) {
  worker w;
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, worker_main, &w, 0x4, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// A thread that releases its own handle while others wait for its end.
struct self_closer {
  HANDLE self = nullptr;
  HANDLE handle_ready = nullptr;
  HANDLE closed = nullptr;
  HANDLE finish = nullptr;
  BOOL close_result = FALSE;
};

DWORD self_closer_main(LPVOID parameter) {
  auto *s = static_cast<self_closer *>(parameter);
  if (WaitForSingleObject(s->handle_ready, bounded_ms) != WAIT_OBJECT_0)
    return 1;
  s->close_result = CloseHandle(s->self);
  SetEvent(s->closed);
  WaitForSingleObject(s->finish, bounded_ms);
  return 0;
}

TEST(PlatformThreadTest, WaitsOutliveTheThreadClosingItsOwnHandle) {
  self_closer s;
  s.handle_ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  s.closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  s.finish = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(s.handle_ready && s.closed && s.finish);
  HANDLE thread = CreateThread(nullptr, 0, self_closer_main, &s, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  s.self = thread;

  // One waiter is inside its wait before the close; the other starts its
  // wait after the close, with the handle value read before it.
  auto before_close = start_waiters(thread, 1, bounded_ms);
  EXPECT_TRUE(SetEvent(s.handle_ready));
  ASSERT_EQ(WaitForSingleObject(s.closed, bounded_ms), WAIT_OBJECT_0);
  EXPECT_TRUE(s.close_result);
  EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
  auto after_close = start_waiters(thread, 1, bounded_ms);

  EXPECT_TRUE(SetEvent(s.finish));
  join_waiters(before_close);
  join_waiters(after_close);
  EXPECT_EQ(before_close[0]->result, WAIT_OBJECT_0);
  EXPECT_EQ(after_close[0]->result, WAIT_OBJECT_0);

  // Ended and closed: the handle is gone for good.
  const auto start = steady::now();
  while (WaitForSingleObject(thread, 0) != WAIT_FAILED && elapsed_ms(start) < bounded_ms)
    Sleep(1);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(thread));
  for (HANDLE event : {s.handle_ready, s.closed, s.finish})
    EXPECT_TRUE(CloseHandle(event));
}

// Set by the destructor of a local of a terminated thread: the stop unwinds
// the thread's stack.
struct unwind_witness {
  std::atomic<bool> *unwound;
  ~unwind_witness() { unwound->store(true); }
};

struct blocked_in_wait {
  HANDLE event = nullptr;
  std::atomic<bool> unwound{false};
  std::atomic<DWORD> thread_id{0};
};

DWORD blocked_in_wait_main(LPVOID parameter) {
  auto *b = static_cast<blocked_in_wait *>(parameter);
  unwind_witness witness{&b->unwound};
  b->thread_id = current_thread_id();
  WaitForSingleObject(b->event, INFINITE);
  return 0;
}

TEST(PlatformThreadTest, TerminateStopsAThreadBlockedInAnEventWait) {
  blocked_in_wait b;
  b.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(b.event, nullptr);
  DWORD thread_id = 0;
  HANDLE thread = CreateThread(nullptr, 0, blocked_in_wait_main, &b, 0, &thread_id);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(wait_until_sleeping(thread_id, bounded_ms));

  EXPECT_TRUE(TerminateThread(thread, 7));
  // It returned only once the thread had ended.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(b.unwound);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(TerminateThread(thread, 8));
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);

  // The unwound wait gave back the event's lock and reference.
  EXPECT_TRUE(SetEvent(b.event));
  EXPECT_EQ(WaitForSingleObject(b.event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(b.event));
}

DWORD report_stack_size(LPVOID parameter) {
  pthread_attr_t attributes;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  *static_cast<size_t *>(parameter) = size;
  return 0;
}

TEST(PlatformThreadTest, SmallStackReservationsGetAtLeastOneMebibyte) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  size_t stack = 0;
  HANDLE thread = CreateThread(nullptr, info.dwAllocationGranularity, report_stack_size, &stack,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, bounded_ms), WAIT_OBJECT_0);
  EXPECT_GE(stack, size_t{1} << 20);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST(PlatformSystemInfoTest, ReportsPagesGranularityAndProcessors) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(info.dwAllocationGranularity, 65536u);
  EXPECT_EQ(info.dwNumberOfProcessors, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)));
}

} // namespace
