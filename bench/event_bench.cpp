// Set/wait pairs on auto-reset events, for 2, 8 and 32 pairs of threads
// (best of three runs each). No two pairs share an event, so whatever slows
// them as they grow in number comes from what the events share underneath.
// Two figures, in completed waits per second:
// - hand-over: each pair bounces a turn between its own two events, as the
//   writer hand-off does; every wait blocks, so the kernel's wake-ups weigh
//   most.
// - own event: each of the 2N threads sets its own event and takes the
//   signal back at once without blocking, which leaves only the cost of
//   reaching the event, and any lock the threads share.
//
//   build/event_bench [milliseconds per run]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace {

using steady = std::chrono::steady_clock;

struct pair_state {
  HANDLE ready = nullptr;
  HANDLE done = nullptr;
  std::atomic<uint64_t> waits{0};
};

// Sets `ready` and takes `done` until told to stop; its partner answers
// every turn, so each round ends.
void initiator(pair_state &pair, const std::atomic<bool> &stop) {
  uint64_t waits = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    SetEvent(pair.ready);
    if (WaitForSingleObject(pair.done, INFINITE) != WAIT_OBJECT_0)
      break;
    ++waits;
  }
  pair.waits.fetch_add(waits);
}

// Answers every `ready` with `done` until `ready` is closed.
void responder(pair_state &pair) {
  uint64_t waits = 0;
  while (WaitForSingleObject(pair.ready, INFINITE) == WAIT_OBJECT_0) {
    ++waits;
    SetEvent(pair.done);
  }
  pair.waits.fetch_add(waits);
}

// Sets its own event and takes the signal back until told to stop.
void own_event_loop(pair_state &state, const std::atomic<bool> &stop) {
  uint64_t waits = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    SetEvent(state.ready);
    if (WaitForSingleObject(state.ready, 0) != WAIT_OBJECT_0)
      break;
    ++waits;
  }
  state.waits.fetch_add(waits);
}

std::vector<std::unique_ptr<pair_state>> create_pairs(int pairs) {
  std::vector<std::unique_ptr<pair_state>> states;
  for (int i = 0; i < pairs; ++i) {
    auto state = std::make_unique<pair_state>();
    state->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (state->ready == nullptr || state->done == nullptr) {
      std::fprintf(stderr, "CreateEventW failed: %u\n", static_cast<unsigned>(GetLastError()));
      std::exit(1);
    }
    states.push_back(std::move(state));
  }
  return states;
}

uint64_t close_pairs(std::vector<std::unique_ptr<pair_state>> &states) {
  uint64_t waits = 0;
  for (auto &state : states) {
    CloseHandle(state->ready);
    CloseHandle(state->done);
    waits += state->waits.load();
  }
  return waits;
}

// Completed waits per second of `pairs` pairs handing over for `run`.
double hand_over(int pairs, std::chrono::milliseconds run) {
  std::vector<std::unique_ptr<pair_state>> states = create_pairs(pairs);
  std::atomic<bool> stop{false};
  std::vector<std::thread> initiators;
  std::vector<std::thread> responders;
  const auto start = steady::now();
  for (auto &state : states) {
    responders.emplace_back(responder, std::ref(*state));
    initiators.emplace_back(initiator, std::ref(*state), std::cref(stop));
  }
  std::this_thread::sleep_for(run);
  stop = true;
  for (auto &t : initiators)
    t.join();
  const double seconds = std::chrono::duration<double>(steady::now() - start).count();
  // The closed events release the responders.
  const uint64_t waits = close_pairs(states);
  for (auto &t : responders)
    t.join();
  return static_cast<double>(waits) / seconds;
}

// Completed waits per second of 2 x `pairs` threads on their own events.
double own_event(int pairs, std::chrono::milliseconds run) {
  std::vector<std::unique_ptr<pair_state>> states = create_pairs(2 * pairs);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const auto start = steady::now();
  for (auto &state : states)
    threads.emplace_back(own_event_loop, std::ref(*state), std::cref(stop));
  std::this_thread::sleep_for(run);
  stop = true;
  for (auto &t : threads)
    t.join();
  const double seconds = std::chrono::duration<double>(steady::now() - start).count();
  return static_cast<double>(close_pairs(states)) / seconds;
}

double best_of_three(double (*measure)(int, std::chrono::milliseconds), int pairs, long run_ms) {
  double best = 0;
  for (int i = 0; i < 3; ++i)
    best = std::max(best, measure(pairs, std::chrono::milliseconds(run_ms)));
  return best;
}

} // namespace

int main(int argc, char **argv) {
  const long run_ms = argc > 1 ? std::atol(argv[1]) : 1000;
  if (run_ms <= 0 || run_ms > 60000) {
    std::fprintf(stderr, "usage: event_bench [milliseconds per run, 1 to 60000]\n");
    return 2;
  }
  std::printf("%u processors, %ld ms per run, best of 3, waits/s\n", std::thread::hardware_concurrency(), run_ms);
  std::printf("pairs   hand-over   own event\n");
  for (int pairs : {2, 8, 32})
    std::printf("%5d %11.0f %11.0f\n", pairs, best_of_three(hand_over, pairs, run_ms),
                best_of_three(own_event, pairs, run_ms));
  return 0;
}
