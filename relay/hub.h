// Process-wide relay state shared by the reader, writer and watcher threads.
// Written before the threads pass their gates, except the flags and the
// connection counter, which are atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/winsock.h"
#include "relay/g_event.h"
#include "relay/g_thread.h"

class g_task_t;

namespace hub {

// The one listening socket every slot's reader accepts on. Taken out with an
// atomic exchange by whoever closes it first.
extern std::atomic<SOCKET> so_listen;
// The accept loops end when set.
extern std::atomic<uint8_t> stop;
// The relay is being stopped from outside: connections end at once.
extern std::atomic<uint8_t> closing;
// Accepted connections in progress.
extern std::atomic<int32_t> active_count;
// A "SYN" console line was printed without its line end.
extern std::atomic<uint8_t> line_pending;
extern uint8_t listen;
extern uint16_t connections;
extern uint64_t packet_length;
extern uint64_t so_buffer_size;
extern uint64_t stack_size;
extern g_task_t *tasks;
extern uint32_t slot_counter;
// Ends the watcher thread when closed.
extern g_event_t wake;
extern g_thread_t thread_p;

// Takes the listening socket out once, so that exactly one thread shuts it
// down and closes it; every accept blocked on it then fails.
void close_listener();

} // namespace hub

// The watcher thread: waits on `hub::wake` until it is closed or the first
// slot stops running, then releases its own record.
DWORD bootstrap_p(LPVOID slots);
