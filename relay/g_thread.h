// Owning wrapper of one thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"

class g_thread_t {
public:
  uint64_t stack_size{};
  uint32_t creation_flags{};
  LPSECURITY_ATTRIBUTES attributes{};
  std::atomic<HANDLE> handle;
  uint32_t id{};
  std::atomic<uint8_t> valid;

  g_thread_t() = default;
  ~g_thread_t() { destroy(); }
  g_thread_t(const g_thread_t &) = delete;
  g_thread_t &operator=(const g_thread_t &) = delete;

  // Starts `routine(argument)` with `stack_size` reserved. Returns 0 or the
  // system error code.
  int create(LPTHREAD_START_ROUTINE routine, void *argument);
  // Waits without limit until the thread has ended; also valid while the
  // thread releases its own record. A failed wait is ignored.
  void wait();
  // Closes the handle and clears the record; a thread's last act on itself.
  void release();
  // Stops a live thread by force (exit code 1), then releases the record.
  void destroy();
};
