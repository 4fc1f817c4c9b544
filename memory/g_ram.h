// The locked buffer pool: one block of physical or locked memory that holds
// every slot's buffers for the life of the process, scrubbed before it is
// returned. Its reports go to standard error.
#pragma once

#include <cstdint>

#include "platform/memory.h"

inline constexpr uint64_t G_RAM_DEFAULT_PAGE_SIZE = 2097152;

// The pool's page size: the system's large page minimum, else 2 MiB. Sets
// `*flag_out` (when given) to 1 when the system reported one.
uint32_t large_page_minimum(uint8_t *flag_out);
// Tries to enable the lock-memory privilege on `h_token`: 0 when the
// adjustment call worked (the privilege may still be missing: see
// GetLastError), -1 when the privilege is unknown, else the system error.
int enable_lock_memory(HANDLE h_token);

class G_RAM {
public:
  uint8_t awe{};
  uint8_t locked{};
  uint64_t pages_requested{};
  ULONG_PTR pages_received{};
  uint64_t size_pfns{};
  ULONG_PTR *aPFNs{};
  HANDLE h_process{};
  HANDLE h_token{};
  uint8_t report{};
  uint64_t allocation_granularity{};
  uint64_t page_count{};
  uint64_t page_size{};
  uint64_t bytes{};
  uint8_t *base{};

  G_RAM() = default;
  ~G_RAM() { release(); }
  G_RAM(const G_RAM &) = delete;
  G_RAM &operator=(const G_RAM &) = delete;

  // Creates a pool of `page_count` pages: physical pages when the privilege
  // allows, else an aligned block locked when possible. 0, or -1 with `base`
  // null after the failure report.
  int init(uint64_t page_count);
  // The physical-page path of `init`: the mapped address, or null after
  // undoing everything it obtained.
  uint8_t *alloc_awe(uint64_t bytes);
  // Zero-fills the pool when it is physical or locked; the first step of
  // `release`. 0, or -1 when there is none.
  int scrub();
  // Scrubs and returns the pool. 0, or -1 when there is none.
  int release();
  // `release`, then every field zero.
  int reset();
};
