#include "relay/g_thread.h"

int g_thread_t::create(LPTHREAD_START_ROUTINE routine, void *argument) {
  creation_flags |= STACK_SIZE_PARAM_IS_A_RESERVATION;
  DWORD thread_id = 0;
  HANDLE created = CreateThread(attributes, stack_size, routine, argument, creation_flags, &thread_id);
  id = thread_id;
  valid = created != nullptr;
  handle = created;
  return created != nullptr ? 0 : static_cast<int>(GetLastError());
}

void g_thread_t::wait() {
  HANDLE h = handle.load();
  if (h != nullptr)
    WaitForSingleObject(h, INFINITE);
}

void g_thread_t::release() {
  valid = 0;
  stack_size = 0;
  creation_flags = 0;
  attributes = nullptr;
  id = 0;
  // The handle goes last: a thread that waits for this one's end through it
  // keeps waiting until the end, even while this thread releases itself.
  HANDLE h = handle.exchange(nullptr);
  if (h != nullptr)
    CloseHandle(h);
}

void g_thread_t::destroy() {
  if (!valid)
    return;
  HANDLE h = handle.load();
  if (h != nullptr)
    TerminateThread(h, 1);
  release();
}
