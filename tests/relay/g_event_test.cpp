// The event and thread wrappers: what the relay's hand-overs and teardown
// rely on.
#include "relay/g_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "relay/g_thread.h"

namespace {

using namespace std::chrono_literals;

TEST(GEvent, WaitOnANeverCreatedEventFailsAtOnce) {
  g_event_t never;
  EXPECT_EQ(never.wait(), EIDRM);
  never.set();
  never.close();
  EXPECT_EQ(never.wait(), EIDRM);
}

TEST(GEvent, AutoResetSignalIsTakenByOneWait) {
  g_event_t event;
  event.create(true);
  ASSERT_TRUE(event.valid);
  EXPECT_EQ(event.wait(), 0);
  EXPECT_EQ(WaitForSingleObject(event.handle.load(), 0), WAIT_TIMEOUT) << "the initial signal was not consumed";
  event.set();
  EXPECT_EQ(event.wait(), 0);
  EXPECT_EQ(WaitForSingleObject(event.handle.load(), 0), WAIT_TIMEOUT) << "the signal was not consumed";
}

// Several senders waiting on one slot's event at teardown are all released.
TEST(GEvent, CloseReleasesEveryWaiterWithEidrm) {
  g_event_t event;
  event.create(false);
  std::atomic<int> released{0};
  std::atomic<int> eidrm{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (event.wait() == EIDRM)
        ++eidrm;
      ++released;
    });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(released.load(), 0) << "a waiter passed an event that was never set";
  event.close();
  for (int i = 0; i < 200 && released.load() < 4; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(released.load(), 4);
  EXPECT_EQ(eidrm.load(), 4);
  for (auto &t : waiters)
    if (released.load() == 4)
      t.join();
    else
      t.detach();
  EXPECT_FALSE(event.valid);
  event.close();
}

struct self_releasing {
  g_thread_t thread;
  g_event_t go;
  std::atomic<bool> finished{false};
};

DWORD release_self(LPVOID argument) {
  auto *s = static_cast<self_releasing *>(argument);
  s->go.wait();
  s->thread.release();
  std::this_thread::sleep_for(50ms);
  s->finished = true;
  return 0;
}

// A wait for a thread that releases its own record returns only at its end.
TEST(GThread, WaitStaysValidWhileTheThreadReleasesItself) {
  self_releasing s;
  s.go.create(false);
  ASSERT_EQ(s.thread.create(release_self, &s), 0);
  ASSERT_TRUE(s.thread.valid);
  std::thread waiter([&] { s.thread.wait(); });
  std::this_thread::sleep_for(50ms);
  s.go.set();
  waiter.join();
  // The record is cleared as the thread's last act on it; a wait that began
  // before returns once the thread has ended.
  EXPECT_TRUE(s.finished.load());
  EXPECT_FALSE(s.thread.valid);
}

// A thread blocked on an event that is never set. Its stack is unwound when
// it is stopped, which the witness records; a wait that ends normally is
// recorded too.
struct blocked_thread {
  std::atomic<bool> unwound{false};
  std::atomic<bool> returned{false};
  g_event_t never_set;
};

struct unwind_witness {
  std::atomic<bool> *unwound;
  ~unwind_witness() { unwound->store(true); }
};

DWORD block_on(LPVOID argument) {
  auto *b = static_cast<blocked_thread *>(argument);
  unwind_witness witness{&b->unwound};
  b->never_set.wait();
  b->returned = true;
  return 0;
}

TEST(GThread, DestroyStopsABlockedThread) {
  blocked_thread b;
  b.never_set.create(false);
  g_thread_t thread;
  ASSERT_EQ(thread.create(block_on, &b), 0);
  thread.destroy();
  // destroy returns once the thread has ended: its stack is already unwound
  // and its wait never returned.
  EXPECT_TRUE(b.unwound.load());
  EXPECT_FALSE(b.returned.load());
  EXPECT_FALSE(thread.valid);
  EXPECT_EQ(thread.handle.load(), nullptr);
}

} // namespace
