// Handles, events and threads with Windows semantics over pthreads.
//
// Every HANDLE is an index into one process-wide table plus the generation of
// that table entry, so a closed or stale handle is recognised instead of
// reaching freed memory. An entry's state is one atomic word: the generation,
// whether the table still lists the object, and the count of references to
// the object (the table's own, one per call that uses it, and a running
// thread's). Resolving a handle is one compare-and-swap on that word, so
// calls on different objects share no lock; only handing out and recycling
// entries takes the table's mutex. An entry is recycled, and its object
// freed, only when the count reaches zero: an object stays alive while any
// call holds it, also when a cancelled thread unwinds out of a wait.
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
  // The table entry that counts this object's references.
  uint32_t table_index = 0;
  // Guards the state of the derived object; `cond` announces its changes.
  pthread_mutex_t mutex;
  pthread_cond_t cond;
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
  // Lists `object` with one reference, the table's. Null when the table is
  // full.
  HANDLE insert(kernel_object *object) {
    std::lock_guard<std::mutex> hold(mutex_);
    const uint32_t index = allocate();
    if (index == no_entry)
      return nullptr;
    entry &e = *at(index);
    const uint32_t generation = next_generation(generation_of(e.state.load(std::memory_order_relaxed)));
    e.object = object;
    object->table_index = index;
    const uint64_t running = object->kind == object_kind::thread ? thread_running : 0;
    // Publishes `object` to every resolve that sees the new generation.
    e.state.store(uint64_t{generation} << 32 | listed | running | 1, std::memory_order_release);
    return reinterpret_cast<HANDLE>(uint64_t{generation} << 32 | (index + 1));
  }

  // A new reference to the object behind `handle`, or null. Lock-free: the
  // count rises only while the entry still lists the object under the
  // handle's generation, and an entry with references is never recycled.
  kernel_object *resolve(HANDLE handle, lookup mode) {
    uint32_t generation;
    entry *e = find(handle, &generation);
    if (e == nullptr)
      return nullptr;
    uint64_t state = e->state.load(std::memory_order_relaxed);
    do {
      if (generation_of(state) != generation || (state & listed) == 0 ||
          (mode == lookup::open_handle && (state & handle_closed) != 0))
        return nullptr;
    } while (!e->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return e->object;
  }

  // The caller holds a reference already.
  void add_ref(kernel_object *object) { at(object->table_index)->state.fetch_add(1, std::memory_order_relaxed); }

  // Drops one reference; the last one frees the object and its entry.
  void release(kernel_object *object) {
    const uint32_t index = object->table_index;
    if ((at(index)->state.fetch_sub(1, std::memory_order_acq_rel) & ref_mask) != 1)
      return;
    delete object;
    std::lock_guard<std::mutex> hold(mutex_);
    entry &e = *at(index);
    e.object = nullptr;
    e.next_free = free_head_;
    free_head_ = index;
  }

  // Closes `handle`. False when it is not open. `*taken` receives the object
  // when the table stopped listing it: its reference is the caller's now.
  bool close(HANDLE handle, kernel_object **taken) {
    *taken = nullptr;
    uint32_t generation;
    entry *e = find(handle, &generation);
    if (e == nullptr)
      return false;
    uint64_t state = e->state.load(std::memory_order_relaxed);
    uint64_t closed;
    do {
      if (generation_of(state) != generation || (state & listed) == 0 || (state & handle_closed) != 0)
        return false;
      closed = state | handle_closed;
      if ((state & thread_running) == 0)
        closed &= ~listed;
    } while (!e->state.compare_exchange_weak(state, closed, std::memory_order_acq_rel, std::memory_order_relaxed));
    if ((closed & listed) == 0)
      *taken = e->object;
    return true;
  }

  // Records that `thread` has ended; returns it when its handle was closed
  // already, with the table's reference, which the caller now owns.
  kernel_object *thread_ended(kernel_object *thread) {
    return unlist_if(thread, [](uint64_t state) { return (state & handle_closed) != 0; });
  }

  // Stops listing `object` at once and drops the table's reference.
  void remove(kernel_object *object) {
    if (unlist_if(object, [](uint64_t) { return true; }) != nullptr)
      release(object);
  }

private:
  // One cache line per entry, so that calls on neighbouring handles do not
  // contend for a line.
  struct alignas(64) entry {
    std::atomic<uint64_t> state{0};
    // Set before the entry is listed, cleared once its count is zero.
    kernel_object *object = nullptr;
    // Guarded by the table's mutex while the entry is free.
    uint32_t next_free = 0;
  };

  // The state word: generation in the high half, then the flags, then the
  // reference count.
  static constexpr uint64_t listed = uint64_t{1} << 31;
  static constexpr uint64_t handle_closed = uint64_t{1} << 30;
  static constexpr uint64_t thread_running = uint64_t{1} << 29;
  static constexpr uint64_t ref_mask = thread_running - 1;

  // Entries come in chunks that are allocated as needed and never freed, so
  // a lookup reaches an entry without a lock.
  static constexpr uint32_t chunk_bits = 10;
  static constexpr uint32_t chunk_size = uint32_t{1} << chunk_bits;
  static constexpr uint32_t max_chunks = uint32_t{1} << 14;
  static constexpr uint32_t max_entries = chunk_size * max_chunks;
  static constexpr uint32_t no_entry = UINT32_MAX;

  static uint32_t generation_of(uint64_t state) { return static_cast<uint32_t>(state >> 32); }

  // Generation 0 is never handed out, so no handle value below 2^32 is valid.
  static uint32_t next_generation(uint32_t generation) { return generation == UINT32_MAX ? 1 : generation + 1; }

  entry *at(uint32_t index) const {
    entry *chunk = chunks_[index >> chunk_bits].load(std::memory_order_acquire);
    return chunk != nullptr ? &chunk[index & (chunk_size - 1)] : nullptr;
  }

  entry *find(HANDLE handle, uint32_t *generation) const {
    const uint64_t value = reinterpret_cast<uintptr_t>(handle);
    const uint64_t low = value & 0xFFFFFFFFu;
    if (low == 0 || low > max_entries)
      return nullptr;
    *generation = static_cast<uint32_t>(value >> 32);
    return at(static_cast<uint32_t>(low - 1));
  }

  // A free entry's index, or no_entry. Called with the mutex held.
  uint32_t allocate() {
    if (free_head_ != no_entry) {
      const uint32_t index = free_head_;
      free_head_ = at(index)->next_free;
      return index;
    }
    const uint32_t index = used_;
    if (index == max_entries)
      return no_entry;
    if (index % chunk_size == 0) {
      entry *chunk = new (std::nothrow) entry[chunk_size];
      if (chunk == nullptr)
        return no_entry;
      chunks_[index >> chunk_bits].store(chunk, std::memory_order_release);
    }
    used_ = index + 1;
    return index;
  }

  template <class predicate_t> kernel_object *unlist_if(kernel_object *object, predicate_t unlist) {
    entry &e = *at(object->table_index);
    uint64_t state = e.state.load(std::memory_order_relaxed);
    uint64_t next;
    do {
      next = state & ~thread_running;
      if (unlist(state))
        next &= ~listed;
    } while (!e.state.compare_exchange_weak(state, next, std::memory_order_acq_rel, std::memory_order_relaxed));
    return (state & listed) != 0 && (next & listed) == 0 ? object : nullptr;
  }

  // An entry that was never handed out has generation 0, which no handle
  // carries, and a chunk that was never allocated has no entries at all.
  std::atomic<entry *> chunks_[max_chunks] = {};
  std::mutex mutex_;
  // Guarded by the mutex: entries handed out at least once, and the free ones.
  uint32_t used_ = 0;
  uint32_t free_head_ = no_entry;
};

// Never destroyed: detached threads may still end while the process exits.
handle_table &table() {
  static handle_table *const instance = new handle_table;
  return *instance;
}

void add_ref(kernel_object *object) {
  table().add_ref(object);
}

void release(kernel_object *object) {
  table().release(object);
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
    if (kernel_object *freed = table().thread_ended(thread_))
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
    delete event;
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
  // An auto-reset signal is for one waiter: waking the others would only
  // send them back to sleep. POSIX keeps a waiter that is cancelled while
  // woken from swallowing the wake-up, so TerminateThread cannot strand it.
  check(event->manual_reset ? pthread_cond_broadcast(&event->cond) : pthread_cond_signal(&event->cond));
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
    delete thread;
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
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
    table().remove(thread);
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
