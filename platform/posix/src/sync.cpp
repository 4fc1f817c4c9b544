// Handles, events and threads with Windows semantics over pthreads.
//
// Every HANDLE is an index into one process-wide table plus the generation of
// that table entry, so a closed or stale handle is recognised instead of
// reaching freed memory. Objects are reference counted: the table holds one
// reference, and every call that uses an object holds another until it
// returns, also when a cancelled thread unwinds out of a wait.
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "platform/sync.h"
#include "pseudo_handles.h"
#include "unwind_guard.h"

namespace winapi {
namespace {

// A pthread primitive that fails here means a corrupted process.
void check(int result) {
  if (result != 0)
    abort();
}

// Holds a pthread mutex. glibc hands a thread that is cancelled inside
// pthread_cond_wait back with the mutex locked and then unwinds it, so the
// destructor is what unlocks in that case too.
class mutex_hold {
public:
  explicit mutex_hold(pthread_mutex_t &mutex) : mutex_(mutex) { check(pthread_mutex_lock(&mutex_)); }
  ~mutex_hold() { pthread_mutex_unlock(&mutex_); }
  mutex_hold(const mutex_hold &) = delete;
  mutex_hold &operator=(const mutex_hold &) = delete;

private:
  pthread_mutex_t &mutex_;
};

enum class object_kind { event, thread };

struct kernel_object {
  explicit kernel_object(object_kind object_kind_) : kind(object_kind_) {
    check(pthread_mutex_init(&mutex, nullptr));
    pthread_condattr_t attributes;
    check(pthread_condattr_init(&attributes));
    check(pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC));
    check(pthread_cond_init(&cond, &attributes));
    pthread_condattr_destroy(&attributes);
  }
  virtual ~kernel_object() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
  }
  kernel_object(const kernel_object &) = delete;
  kernel_object &operator=(const kernel_object &) = delete;

  const object_kind kind;
  std::atomic<long> refs{1};
  // Guards the state of the derived object; `cond` announces its changes.
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

void add_ref(kernel_object *object) {
  object->refs.fetch_add(1, std::memory_order_relaxed);
}

void release(kernel_object *object) {
  if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete object;
}

// One counted reference, dropped on every way out of the scope.
class object_ref {
public:
  object_ref() = default;
  explicit object_ref(kernel_object *object) : object_(object) {}
  ~object_ref() {
    if (object_ != nullptr)
      release(object_);
  }
  object_ref(const object_ref &) = delete;
  object_ref &operator=(const object_ref &) = delete;

  kernel_object *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

private:
  kernel_object *object_ = nullptr;
};

struct event_object : kernel_object {
  event_object(bool manual, bool initial)
      : kernel_object(object_kind::event), manual_reset(manual), signalled(initial) {}
  const bool manual_reset;
  bool signalled;
  bool closed = false;
};

struct thread_object : kernel_object {
  thread_object(LPTHREAD_START_ROUTINE start, LPVOID start_argument)
      : kernel_object(object_kind::thread), routine(start), argument(start_argument) {}
  const LPTHREAD_START_ROUTINE routine;
  const LPVOID argument;
  HANDLE handle = nullptr;
  bool started = false;
  bool ended = false;
  bool terminate_requested = false;
  DWORD terminate_code = 0;
  DWORD exit_code = STILL_ACTIVE;
  DWORD thread_id = 0;
  pthread_t pthread{};
};

// Which handles a lookup accepts. A thread's entry outlives the closing of
// its handle until the thread has ended, but only waits may still use it.
enum class lookup { open_handle, wait };

class handle_table {
public:
  // Takes over the caller's reference. Null when the table is full.
  HANDLE insert(kernel_object *object) {
    std::lock_guard<std::mutex> hold(mutex_);
    uint32_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      if (entries_.size() >= max_entries)
        return nullptr;
      index = static_cast<uint32_t>(entries_.size());
      entries_.emplace_back();
    }
    entry &e = entries_[index];
    e.object = object;
    e.handle_closed = false;
    e.thread_ended = false;
    return encode(index, e.generation);
  }

  // A new reference to the object behind `handle`, or null.
  kernel_object *resolve(HANDLE handle, lookup mode) {
    std::lock_guard<std::mutex> hold(mutex_);
    entry *e = find(handle);
    if (e == nullptr || (e->handle_closed && mode == lookup::open_handle))
      return nullptr;
    add_ref(e->object);
    return e->object;
  }

  // Closes `handle`. False when it is not open. `*freed` receives the
  // object whose table reference the caller now owns, when the entry ended.
  bool close(HANDLE handle, kernel_object **freed) {
    std::lock_guard<std::mutex> hold(mutex_);
    *freed = nullptr;
    entry *e = find(handle);
    if (e == nullptr || e->handle_closed)
      return false;
    if (e->object->kind == object_kind::thread && !e->thread_ended) {
      e->handle_closed = true;
      return true;
    }
    *freed = take(*e, handle);
    return true;
  }

  // Records that the thread behind `handle` has ended; returns the object
  // whose table reference the caller now owns when its handle was closed.
  kernel_object *thread_ended(HANDLE handle) {
    std::lock_guard<std::mutex> hold(mutex_);
    entry *e = find(handle);
    if (e == nullptr)
      return nullptr;
    e->thread_ended = true;
    return e->handle_closed ? take(*e, handle) : nullptr;
  }

  // Removes an entry at once, whatever its state.
  kernel_object *remove(HANDLE handle) {
    std::lock_guard<std::mutex> hold(mutex_);
    entry *e = find(handle);
    return e != nullptr ? take(*e, handle) : nullptr;
  }

private:
  struct entry {
    uint32_t generation = 1;
    kernel_object *object = nullptr;
    bool handle_closed = false;
    bool thread_ended = false;
  };

  static constexpr size_t max_entries = size_t{1} << 24;

  static HANDLE encode(uint32_t index, uint32_t generation) {
    return reinterpret_cast<HANDLE>((uintptr_t{generation} << 32) | (uintptr_t{index} + 1));
  }

  entry *find(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t low = value & 0xFFFFFFFFu;
    if (low == 0 || low > entries_.size())
      return nullptr;
    entry &e = entries_[low - 1];
    if (e.object == nullptr || e.generation != static_cast<uint32_t>(value >> 32))
      return nullptr;
    return &e;
  }

  kernel_object *take(entry &e, HANDLE handle) {
    kernel_object *object = e.object;
    e.object = nullptr;
    e.generation = e.generation == UINT32_MAX ? 1 : e.generation + 1;
    free_.push_back(static_cast<uint32_t>((reinterpret_cast<uintptr_t>(handle) & 0xFFFFFFFFu) - 1));
    return object;
  }

  std::mutex mutex_;
  std::vector<entry> entries_;
  std::vector<uint32_t> free_;
};

// Never destroyed: detached threads may still end while the process exits.
handle_table &table() {
  static handle_table *const instance = new handle_table;
  return *instance;
}

timespec deadline_after(DWORD milliseconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t nanoseconds = static_cast<uint64_t>(now.tv_nsec) + uint64_t{milliseconds % 1000} * 1000000;
  now.tv_sec += static_cast<time_t>(milliseconds / 1000 + nanoseconds / 1000000000);
  now.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
  return now;
}

constexpr DWORD keep_waiting = 0xFFFFFFFE;

// Waits on `object`'s condition until `poll` (called with the mutex held)
// returns something other than keep_waiting, or until the time-out.
template <class poll_t> DWORD wait_on(kernel_object &object, DWORD milliseconds, poll_t poll) {
  const timespec deadline = milliseconds != INFINITE ? deadline_after(milliseconds) : timespec{};
  mutex_hold hold(object.mutex);
  for (;;) {
    const DWORD result = poll();
    if (result != keep_waiting)
      return result;
    if (milliseconds == 0)
      return WAIT_TIMEOUT;
    unwind_guard guard;
    if (milliseconds == INFINITE) {
      check(pthread_cond_wait(&object.cond, &object.mutex));
      guard.returned();
      continue;
    }
    const int waited = pthread_cond_timedwait(&object.cond, &object.mutex, &deadline);
    guard.returned();
    if (waited == ETIMEDOUT) {
      const DWORD last = poll();
      return last != keep_waiting ? last : WAIT_TIMEOUT;
    }
    check(waited);
  }
}

DWORD win32_error_from_errno(int error) {
  switch (error) {
  case EAGAIN:
  case ENOMEM:
    return ERROR_NOT_ENOUGH_MEMORY;
  case EPERM:
  case EACCES:
    return ERROR_ACCESS_DENIED;
  default:
    return ERROR_INVALID_PARAMETER;
  }
}

// Linux reserves thread stacks lazily, so a generous minimum costs address
// space only. Callers pass Windows' allocation granularity (64 KiB), which
// is too little for OpenSSL and for the sanitizers' runtimes.
constexpr size_t minimum_stack_size = size_t{1} << 20;

// Marks the thread as ended when its routine returns and when a
// cancellation unwinds it, wakes its waiters and drops the thread's
// references.
class thread_end_guard {
public:
  explicit thread_end_guard(thread_object *thread) : thread_(thread) {}
  ~thread_end_guard() {
    int previous;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    {
      mutex_hold hold(thread_->mutex);
      thread_->exit_code = thread_->terminate_requested ? thread_->terminate_code : result;
      thread_->ended = true;
      check(pthread_cond_broadcast(&thread_->cond));
    }
    if (kernel_object *freed = table().thread_ended(thread_->handle))
      release(freed);
    release(thread_);
  }
  thread_end_guard(const thread_end_guard &) = delete;
  thread_end_guard &operator=(const thread_end_guard &) = delete;

  DWORD result = 0;

private:
  thread_object *thread_;
};

void *thread_main(void *parameter) {
  auto *thread = static_cast<thread_object *>(parameter);
  thread_end_guard guard(thread);
  {
    mutex_hold hold(thread->mutex);
    thread->pthread = pthread_self();
    thread->thread_id = static_cast<DWORD>(gettid());
    thread->started = true;
    check(pthread_cond_broadcast(&thread->cond));
  }
  guard.result = thread->routine(thread->argument);
  return nullptr;
}

} // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto *event = new (std::nothrow) event_object(manual_reset != FALSE, initial_state != FALSE);
  if (event == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = table().insert(event);
  if (handle == nullptr) {
    release(event);
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  }
  return handle;
}

namespace {

event_object *as_event(const object_ref &object) {
  return object && object.get()->kind == object_kind::event ? static_cast<event_object *>(object.get()) : nullptr;
}

thread_object *as_thread(const object_ref &object) {
  return object && object.get()->kind == object_kind::thread ? static_cast<thread_object *>(object.get()) : nullptr;
}

} // namespace

BOOL SetEvent(HANDLE handle) {
  object_ref object(table().resolve(handle, lookup::open_handle));
  event_object *event = as_event(object);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  mutex_hold hold(event->mutex);
  event->signalled = true;
  // Every waiter re-checks the state; the first to take the mutex consumes
  // an auto-reset signal and the others wait again.
  check(pthread_cond_broadcast(&event->cond));
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  object_ref object(table().resolve(handle, lookup::wait));
  DWORD result = WAIT_FAILED;
  if (event_object *event = as_event(object)) {
    result = wait_on(*event, milliseconds, [event] {
      if (event->closed)
        return WAIT_FAILED;
      if (!event->signalled)
        return keep_waiting;
      if (!event->manual_reset)
        event->signalled = false;
      return WAIT_OBJECT_0;
    });
  } else if (thread_object *thread = as_thread(object)) {
    result = wait_on(*thread, milliseconds, [thread] { return thread->ended ? WAIT_OBJECT_0 : keep_waiting; });
  }
  if (result == WAIT_FAILED)
    SetLastError(ERROR_INVALID_HANDLE);
  return result;
}

BOOL CloseHandle(HANDLE handle) {
  if (pseudo::is_pseudo_handle(handle))
    return TRUE;
  kernel_object *freed = nullptr;
  if (!table().close(handle, &freed)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (freed == nullptr)
    return TRUE;
  object_ref object(freed);
  if (event_object *event = as_event(object)) {
    // One handle per event: this was the last, so every waiter is released.
    mutex_hold hold(event->mutex);
    event->closed = true;
    check(pthread_cond_broadcast(&event->cond));
  }
  return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine, LPVOID argument,
                    DWORD creation_flags, DWORD *thread_id) {
  if (routine == nullptr || (creation_flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto *thread = new (std::nothrow) thread_object(routine, argument);
  if (thread == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = table().insert(thread);
  if (handle == nullptr) {
    release(thread);
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  thread->handle = handle;
  add_ref(thread);

  pthread_attr_t attributes;
  check(pthread_attr_init(&attributes));
  check(pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED));
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t stack = (std::max(stack_size, minimum_stack_size) + page - 1) / page * page;
  int created = pthread_attr_setstacksize(&attributes, stack);
  if (created == 0) {
    pthread_t ignored;
    created = pthread_create(&ignored, &attributes, thread_main, thread);
  }
  pthread_attr_destroy(&attributes);
  if (created != 0) {
    release(thread);
    if (kernel_object *removed = table().remove(handle))
      release(removed);
    SetLastError(win32_error_from_errno(created));
    return nullptr;
  }

  // The thread reports its kernel id, which debuggers and /proc show.
  mutex_hold hold(thread->mutex);
  while (!thread->started) {
    unwind_guard guard;
    check(pthread_cond_wait(&thread->cond, &thread->mutex));
    guard.returned();
  }
  if (thread_id != nullptr)
    *thread_id = thread->thread_id;
  return handle;
}

// Windows stops the thread asynchronously. Here the stop is a deferred
// pthread_cancel, which acts at the thread's next cancellation point (accept,
// recv, send, an event or thread wait), and the call returns only once the
// thread has ended, so that the caller may free what the thread used.
BOOL TerminateThread(HANDLE handle, DWORD exit_code) {
  object_ref object(table().resolve(handle, lookup::open_handle));
  thread_object *thread = as_thread(object);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  mutex_hold hold(thread->mutex);
  if (thread->ended)
    return TRUE;
  if (pthread_equal(thread->pthread, pthread_self())) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (!thread->terminate_requested) {
    thread->terminate_requested = true;
    thread->terminate_code = exit_code;
    // The thread has not ended, so its pthread_t still names it.
    check(pthread_cancel(thread->pthread));
  }
  while (!thread->ended) {
    unwind_guard guard;
    check(pthread_cond_wait(&thread->cond, &thread->mutex));
    guard.returned();
  }
  return TRUE;
}

BOOL GetExitCodeThread(HANDLE handle, DWORD *exit_code) {
  object_ref object(table().resolve(handle, lookup::open_handle));
  thread_object *thread = as_thread(object);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exit_code == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  mutex_hold hold(thread->mutex);
  *exit_code = thread->exit_code;
  return TRUE;
}

void GetSystemInfo(SYSTEM_INFO *info) {
  const long page = sysconf(_SC_PAGESIZE);
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  *info = SYSTEM_INFO{};
#if defined(__x86_64__)
  info->wProcessorArchitecture = 9; // PROCESSOR_ARCHITECTURE_AMD64
  info->dwProcessorType = 8664;     // PROCESSOR_AMD_X8664
#elif defined(__aarch64__)
  info->wProcessorArchitecture = 12; // PROCESSOR_ARCHITECTURE_ARM64
#endif
  info->dwPageSize = static_cast<DWORD>(page);
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(page);
  info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>((uintptr_t{1} << 47) - static_cast<uintptr_t>(page));
  info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
  info->dwActiveProcessorMask =
      info->dwNumberOfProcessors >= 64 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << info->dwNumberOfProcessors) - 1;
  // Windows reserves address space in 64 KiB units; Linux has no such unit,
  // and callers use the value as a size, so Windows' value is kept.
  info->dwAllocationGranularity = 65536;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  unwind_guard guard;
  if (milliseconds == INFINITE) {
    for (;;)
      pause();
  }
  timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
  guard.returned();
}

} // namespace winapi
