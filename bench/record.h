// The benchmark's message: a fixed-size record holding its sequence number,
// the time it was sent and a body that depends on the sequence number, so a
// receiver checks every byte and sees a lost, repeated or mixed-up record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Sequence number and send time, both 64-bit little-endian.
inline constexpr size_t RECORD_HEADER_SIZE = 16;
inline constexpr size_t RECORD_MIN_SIZE = RECORD_HEADER_SIZE + 1;
inline constexpr size_t RECORD_MAX_SIZE = 65535;

// Writes record `seq`, stamped `sent_ns`, into the `size` bytes at `out`.
void write_record(uint8_t *out, size_t size, uint64_t seq, uint64_t sent_ns);

// Latencies in log-linear buckets: exact below 32 ns, then 32 buckets per
// power of two, so a percentile is within about 3 % of the true value.
class latency_histogram {
public:
  void add(uint64_t ns);
  // The value below which fraction `q` (0 to 1) of the samples lie: the
  // middle of its bucket, 0 without samples.
  uint64_t percentile(double q) const;
  uint64_t count() const { return total; }

private:
  std::array<uint64_t, 2048> buckets{};
  uint64_t total = 0;
};

// What the receivers count between the two ends of the measuring window:
// whole records received, and their latencies.
struct window_tally {
  uint64_t from_ns = UINT64_MAX;
  uint64_t to_ns = UINT64_MAX;
  uint64_t records = 0;
  latency_histogram latency;
};

// One receiver's stream of records, fed with the bytes as they arrive in any
// pieces. The first record sets the expected sequence; every later one must
// follow it by one.
class record_stream {
public:
  explicit record_stream(size_t record_size) : size(record_size), partial(record_size) {}

  // Takes `n` bytes received at `now_ns`. False at the first bad record,
  // whose fault `fault` then names.
  bool feed(const uint8_t *p, size_t n, uint64_t now_ns, window_tally &tally);
  bool started() const { return seen; }
  // The sequence number of the next record expected.
  uint64_t next() const { return next_seq; }

  const char *fault = nullptr;

private:
  bool check(const uint8_t *record, uint64_t now_ns, window_tally &tally);

  size_t size;
  std::vector<uint8_t> partial;
  size_t partial_size = 0;
  bool seen = false;
  uint64_t next_seq = 0;
};
