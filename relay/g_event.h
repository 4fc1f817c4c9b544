// Owning wrapper of one unnamed auto-reset event.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"

class g_event_t {
public:
  std::atomic<HANDLE> handle;
  std::atomic<uint8_t> valid;

  g_event_t() = default;
  ~g_event_t() { close(); }
  g_event_t(const g_event_t &) = delete;
  g_event_t &operator=(const g_event_t &) = delete;

  // Creates the event; `valid` tells whether that worked. Not reported.
  void create(bool initially_signalled);
  // Signals the event when valid.
  void set();
  // Waits without limit. 0 when signalled; EIDRM when the wrapper is not
  // valid before or after the wait; ETIMEDOUT on a time-out; otherwise the
  // system's last error.
  int wait();
  // Clears `valid`, signals, and closes the handle; every waiter is released
  // and sees EIDRM. A second close does nothing.
  void close();
};
