#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr DWORD DEADLINE_MS = 5000;

struct waiter {
  HANDLE event;
  std::atomic<DWORD> result{0};
  std::atomic<DWORD> error{0};
};

DWORD wait_on_event(LPVOID argument) {
  auto *w = static_cast<waiter *>(argument);
  w->result = WaitForSingleObject(w->event, INFINITE);
  w->error = GetLastError();
  return 0;
}

TEST(Win32Event, ClosingReleasesEveryWaiterWithInvalidHandle) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  waiter waiters[3];
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) {
    waiters[i].event = event;
    threads[i] = CreateThread(nullptr, 0, wait_on_event, &waiters[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  // Gives the waiters time to block; one that comes late finds the handle
  // closed, which ends the same way.
  Sleep(200);
  ASSERT_TRUE(CloseHandle(event));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(WaitForSingleObject(threads[i], DEADLINE_MS), WAIT_OBJECT_0) << "waiter " << i << " still blocked";
    EXPECT_EQ(waiters[i].result.load(), WAIT_FAILED);
    EXPECT_EQ(waiters[i].error.load(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(threads[i]);
  }
}

TEST(Win32Event, AutoResetSignalIsConsumedByOneWait) {
  HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(event));
}

struct self_closing {
  std::atomic<HANDLE> own{nullptr};
  HANDLE closed;
  std::atomic<int> finished{0};
};

DWORD close_own_handle_then_work(LPVOID argument) {
  auto *s = static_cast<self_closing *>(argument);
  while (s->own.load() == nullptr)
    Sleep(1);
  CloseHandle(s->own.load());
  SetEvent(s->closed);
  Sleep(300);
  s->finished = 1;
  return 7;
}

TEST(Win32Thread, WaitOutlivesTheThreadClosingItsOwnHandle) {
  self_closing s;
  s.closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(s.closed, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, close_own_handle_then_work, &s, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  s.own = thread;
  ASSERT_EQ(WaitForSingleObject(s.closed, DEADLINE_MS), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, DEADLINE_MS), WAIT_OBJECT_0);
  EXPECT_EQ(s.finished.load(), 1) << "the wait returned before the thread's end";
  CloseHandle(s.closed);
}

DWORD block_forever(LPVOID argument) {
  WaitForSingleObject(static_cast<HANDLE>(argument), INFINITE);
  return 0;
}

TEST(Win32Thread, TerminateReturnsOnceTheThreadHasEnded) {
  HANDLE never = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(never, nullptr);
  HANDLE thread = CreateThread(nullptr, 1 << 20, block_forever, never, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 100), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(TerminateThread(thread, 1));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(never);
}

} // namespace
