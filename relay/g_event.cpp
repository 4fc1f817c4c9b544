#include "relay/g_event.h"

#include <cerrno>

void g_event_t::create(bool initially_signalled) {
  HANDLE created = CreateEventW(nullptr, FALSE, initially_signalled ? TRUE : FALSE, nullptr);
  handle.store(created);
  valid.store(created != nullptr ? 1 : 0);
}

void g_event_t::set() {
  if (valid.load() != 0) {
    SetEvent(handle.load());
  }
}

int g_event_t::wait() {
  if (valid.load() == 0) {
    return EIDRM;
  }
  DWORD result = WaitForSingleObject(handle.load(), INFINITE);
  // A close during the wait signals the event first, so the waiter can wake
  // "successfully": only the cleared flag tells it the event is gone.
  if (valid.load() == 0) {
    return EIDRM;
  }
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    return 0;
  }
  if (result == WAIT_TIMEOUT) {
    return ETIMEDOUT;
  }
  return static_cast<int>(GetLastError());
}

void g_event_t::close() {
  // The exchange lets two threads close at once and only one of them release
  // the handle.
  if (valid.exchange(0) == 0) {
    return;
  }
  HANDLE closing = handle.load();
  SetEvent(closing);
  CloseHandle(closing);
  handle.store(nullptr);
}
