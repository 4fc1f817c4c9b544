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
// Each figure comes with the process's CPU time per wait, which depends less
// than the rate on what else the machine is running.
//
//   build/event_bench [milliseconds per run]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace {

using steady = std::chrono::steady_clock;

struct figure {
  double waits_per_second;
  double cpu_ns_per_wait;
};

// Wall and CPU time from construction on.
class stopwatch {
public:
  figure per_wait(uint64_t waits) const {
    const double seconds = std::chrono::duration<double>(steady::now() - wall_).count();
    const double cpu_seconds = static_cast<double>(std::clock() - cpu_) / CLOCKS_PER_SEC;
    const double count = static_cast<double>(std::max<uint64_t>(waits, 1));
    return {static_cast<double>(waits) / seconds, cpu_seconds * 1e9 / count};
  }

private:
  steady::time_point wall_ = steady::now();
  std::clock_t cpu_ = std::clock();
};

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

// `pairs` pairs handing over for `run`.
figure hand_over(int pairs, std::chrono::milliseconds run) {
  std::vector<std::unique_ptr<pair_state>> states = create_pairs(pairs);
  std::atomic<bool> stop{false};
  std::vector<std::thread> initiators;
  std::vector<std::thread> responders;
  const stopwatch watch;
  for (auto &state : states) {
    responders.emplace_back(responder, std::ref(*state));
    initiators.emplace_back(initiator, std::ref(*state), std::cref(stop));
  }
  std::this_thread::sleep_for(run);
  stop = true;
  for (auto &t : initiators)
    t.join();
  // The closed events release the responders.
  const uint64_t waits = close_pairs(states);
  for (auto &t : responders)
    t.join();
  return watch.per_wait(waits);
}

// 2 x `pairs` threads on their own events for `run`.
figure own_event(int pairs, std::chrono::milliseconds run) {
  std::vector<std::unique_ptr<pair_state>> states = create_pairs(2 * pairs);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const stopwatch watch;
  for (auto &state : states)
    threads.emplace_back(own_event_loop, std::ref(*state), std::cref(stop));
  std::this_thread::sleep_for(run);
  stop = true;
  for (auto &t : threads)
    t.join();
  return watch.per_wait(close_pairs(states));
}

// The run with the highest rate.
figure best_of_three(figure (*measure)(int, std::chrono::milliseconds), int pairs, long run_ms) {
  figure best{0, 0};
  for (int i = 0; i < 3; ++i) {
    const figure run = measure(pairs, std::chrono::milliseconds(run_ms));
    if (run.waits_per_second > best.waits_per_second)
      best = run;
  }
  return best;
}

} // namespace

int main(int argc, char **argv) {
  const long run_ms = argc > 1 ? std::atol(argv[1]) : 1000;
  if (run_ms <= 0 || run_ms > 60000) {
    std::fprintf(stderr, "usage: event_bench [milliseconds per run, 1 to 60000]\n");
    return 2;
  }
  std::printf("%u processors, %ld ms per run, best of 3\n", std::thread::hardware_concurrency(), run_ms);
  std::printf("        hand-over            own event\n");
  std::printf("pairs   waits/s  CPU ns/wait  waits/s  CPU ns/wait\n");
  for (int pairs : {2, 8, 32}) {
    const figure hand = best_of_three(hand_over, pairs, run_ms);
    const figure own = best_of_three(own_event, pairs, run_ms);
    std::printf("%5d %9.0f %12.0f %8.0f %12.0f\n", pairs, hand.waits_per_second, hand.cpu_ns_per_wait,
                own.waits_per_second, own.cpu_ns_per_wait);
  }
  return 0;
}
