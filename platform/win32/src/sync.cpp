#define RELAYHUB_WIN32_SYNC_SOURCE
#include "platform/sync.h"

#include <new>
#include <unordered_map>

namespace {

// An event as the relay sees it: the real event, and a manual-reset event that
// is set when the relay closes it, which every wait watches too. The pair
// stays open while a call uses it, so that its handle values cannot be given
// to another object meanwhile.
struct event_pair {
  HANDLE event;
  HANDLE closed;
  unsigned users;
  bool closing;
};

SRWLOCK events_lock = SRWLOCK_INIT;

// Never destroyed: relay objects with static lifetime close their events
// during exit, after this file's own statics would be gone.
std::unordered_map<HANDLE, event_pair *> &events() {
  static auto *table = new std::unordered_map<HANDLE, event_pair *>();
  return *table;
}

void free_pair(event_pair *pair) {
  ::CloseHandle(pair->event);
  ::CloseHandle(pair->closed);
  delete pair;
}

event_pair *use_event(HANDLE handle) {
  AcquireSRWLockExclusive(&events_lock);
  event_pair *pair = nullptr;
  auto found = events().find(handle);
  if (found != events().end()) {
    pair = found->second;
    ++pair->users;
  }
  ReleaseSRWLockExclusive(&events_lock);
  return pair;
}

void done_with_event(event_pair *pair) {
  AcquireSRWLockExclusive(&events_lock);
  const bool last = --pair->users == 0 && pair->closing;
  ReleaseSRWLockExclusive(&events_lock);
  if (last)
    free_pair(pair);
}

// Set by the start routine below: the thread's own handle, and whether the
// thread has closed it.
thread_local HANDLE own_handle = nullptr;
thread_local bool own_handle_closed = false;

struct thread_start {
  LPTHREAD_START_ROUTINE routine;
  LPVOID argument;
  HANDLE handle;
};

DWORD WINAPI run_thread(LPVOID start) {
  const thread_start begin = *static_cast<thread_start *>(start);
  delete static_cast<thread_start *>(start);
  own_handle = begin.handle;
  const DWORD result = begin.routine(begin.argument);
  if (own_handle_closed)
    ::CloseHandle(begin.handle);
  return result;
}

} // namespace

namespace winapi {

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
  auto *pair = new (std::nothrow) event_pair{};
  if (pair == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pair->event = ::CreateEventW(attributes, manual_reset, initial_state, name);
  pair->closed = pair->event != nullptr ? ::CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (pair->closed == nullptr) {
    const DWORD code = GetLastError();
    if (pair->event != nullptr)
      ::CloseHandle(pair->event);
    delete pair;
    SetLastError(code);
    return nullptr;
  }
  AcquireSRWLockExclusive(&events_lock);
  events()[pair->event] = pair;
  ReleaseSRWLockExclusive(&events_lock);
  return pair->event;
}

BOOL SetEvent(HANDLE event) {
  event_pair *pair = use_event(event);
  if (pair == nullptr)
    return ::SetEvent(event);
  const BOOL result = ::SetEvent(pair->event);
  done_with_event(pair);
  return result;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  event_pair *pair = use_event(handle);
  if (pair == nullptr)
    return ::WaitForSingleObject(handle, milliseconds);
  const HANDLE both[2] = {pair->event, pair->closed};
  DWORD result = WaitForMultipleObjects(2, both, FALSE, milliseconds);
  if (result == WAIT_OBJECT_0 + 1) {
    SetLastError(ERROR_INVALID_HANDLE);
    result = WAIT_FAILED;
  }
  done_with_event(pair);
  return result;
}

BOOL CloseHandle(HANDLE handle) {
  AcquireSRWLockExclusive(&events_lock);
  event_pair *pair = nullptr;
  auto found = events().find(handle);
  if (found != events().end()) {
    pair = found->second;
    events().erase(found);
    pair->closing = true;
    ::SetEvent(pair->closed);
  }
  const bool unused = pair != nullptr && pair->users == 0;
  ReleaseSRWLockExclusive(&events_lock);
  if (pair != nullptr) {
    if (unused)
      free_pair(pair);
    return TRUE;
  }
  if (handle != nullptr && handle == own_handle) {
    own_handle_closed = true;
    return TRUE;
  }
  return ::CloseHandle(handle);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine,
                    LPVOID argument, DWORD creation_flags, DWORD *thread_id) {
  auto *start = new (std::nothrow) thread_start{routine, argument, nullptr};
  if (start == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Suspended until the thread's record knows the handle it closes itself.
  HANDLE thread =
      ::CreateThread(attributes, stack_size, run_thread, start, creation_flags | CREATE_SUSPENDED, thread_id);
  if (thread == nullptr) {
    delete start;
    return nullptr;
  }
  start->handle = thread;
  if ((creation_flags & CREATE_SUSPENDED) == 0)
    ResumeThread(thread);
  return thread;
}

BOOL TerminateThread(HANDLE thread, DWORD exit_code) {
  if (!::TerminateThread(thread, exit_code))
    return FALSE;
  ::WaitForSingleObject(thread, INFINITE);
  return TRUE;
}

} // namespace winapi
