// What the kernel says about the test's own threads (Linux only: it reads
// /proc). Kept free of socket headers so that tests can include the
// platform's Winsock names beside it.
#pragma once

#include <cstdint>

// The kernel id of the calling thread.
uint32_t current_thread_id();
// Waits up to `timeout_ms` until the thread with kernel id `tid` sleeps in
// the kernel (a blocking call or a wait); false when it never did.
bool wait_until_sleeping(uint32_t tid, int timeout_ms);
