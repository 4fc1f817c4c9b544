// What the memory services and the large page services share: the page
// sizes, and the address ranges reserved for physical pages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace winapi::large_pages {

// The smallest huge page size that `directory` lists (entries named
// hugepages-<N>kB, as in /sys/kernel/mm/hugepages), in bytes; 0 when it lists
// none or cannot be read.
size_t smallest_size(const char *directory);

// The huge page size that the large page services use: the smallest one the
// kernel offers, else its default one, else 0.
size_t page_size();

size_t small_page_size();
size_t round_up(size_t value, size_t unit);

// A range without access of at least `size` bytes, aligned to the huge page
// size (the small one when the kernel has none); its length in `length`.
// Null when the address space is exhausted.
void *reserve(size_t size, size_t *length);

// The range reserved for physical pages that holds `address`: its start
// and end. False when `address` lies in no such range. Served by the
// memory services, which keep the table of ranges.
bool find_reservation(uintptr_t address, uintptr_t *start, uintptr_t *end);

} // namespace winapi::large_pages
