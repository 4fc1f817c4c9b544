// TerminateThread stops a thread by unwinding it from inside a blocking call
// (pthread_cancel). AddressSanitizer does not see that unwinding: the
// poisoned red zones of the frames it leaves stay behind on the stack and
// are reported as errors once later calls reuse that memory. A function
// that makes a blocking call holds an unwind_guard across it; when the
// unwinding passes, the guard clears the stack's poison, from a frame below
// which only the C library's frames were. Without AddressSanitizer the
// guard is empty.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace winapi {

class unwind_guard {
public:
  unwind_guard() = default;
  unwind_guard(const unwind_guard &) = delete;
  unwind_guard &operator=(const unwind_guard &) = delete;
#if defined(__SANITIZE_ADDRESS__)
  ~unwind_guard() {
    if (!returned_)
      __asan_handle_no_return();
  }
  // The blocking call returned: leaving the scope is not an unwinding.
  void returned() {
    returned_ = true;
  }

private:
  bool returned_ = false;
#else
  void returned() {}
#endif
};

} // namespace winapi
