// Hand-overs through auto-reset events, as the writer hand-off makes them:
// N independent pairs of threads, each pair bouncing a turn between its own
// two events. No pair shares an event with another, so any slowdown as N
// grows comes from what the events share underneath. Prints completed
// waits per second for 2, 8 and 32 pairs (best of three runs each).
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

// Completed waits per second of `pairs` pairs running for `run`.
double run_once(int pairs, std::chrono::milliseconds run) {
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
  for (auto &state : states)
    CloseHandle(state->ready);
  for (auto &t : responders)
    t.join();
  uint64_t waits = 0;
  for (auto &state : states) {
    CloseHandle(state->done);
    waits += state->waits.load();
  }
  return static_cast<double>(waits) / seconds;
}

} // namespace

int main(int argc, char **argv) {
  const long run_ms = argc > 1 ? std::atol(argv[1]) : 1000;
  if (run_ms <= 0 || run_ms > 60000) {
    std::fprintf(stderr, "usage: event_bench [milliseconds per run, 1 to 60000]\n");
    return 2;
  }
  std::printf("%u processors, %ld ms per run, best of 3\n", std::thread::hardware_concurrency(), run_ms);
  for (int pairs : {2, 8, 32}) {
    double best = 0;
    for (int i = 0; i < 3; ++i)
      best = std::max(best, run_once(pairs, std::chrono::milliseconds(run_ms)));
    std::printf("%2d pairs: %10.0f waits/s\n", pairs, best);
  }
  return 0;
}
