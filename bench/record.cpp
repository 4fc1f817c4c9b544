#include "record.h"

#include <bit>
#include <cstring>

namespace {

// A prime period, so that the body never lines up with a record size.
constexpr size_t BODY_PERIOD = 251;
constexpr unsigned SUB_BITS = 5;
constexpr uint64_t SUB_COUNT = uint64_t{1} << SUB_BITS;

// The body of every record is a window into this table, shifted by the
// sequence number; one table serves every record size.
const uint8_t *body_table() {
  static const std::vector<uint8_t> table = [] {
    std::vector<uint8_t> t(BODY_PERIOD + RECORD_MAX_SIZE);
    for (size_t i = 0; i < t.size(); ++i)
      t[i] = static_cast<uint8_t>((i % BODY_PERIOD) * 89 + 7);
    return t;
  }();
  return table.data();
}

// Byte `k` of record `seq` is body_of(seq)[k], for k past the header.
const uint8_t *body_of(uint64_t seq) {
  return body_table() + (seq * 7) % BODY_PERIOD;
}

uint64_t load_u64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, sizeof(v));
  return v;
}

size_t bucket_of(uint64_t ns) {
  if (ns < SUB_COUNT)
    return static_cast<size_t>(ns);
  const unsigned shift = static_cast<unsigned>(std::bit_width(ns)) - 1 - SUB_BITS;
  return static_cast<size_t>(shift * SUB_COUNT + (ns >> shift));
}

uint64_t bucket_middle(size_t bucket) {
  if (bucket < SUB_COUNT)
    return bucket;
  const uint64_t shift = bucket / SUB_COUNT - 1;
  const uint64_t mantissa = bucket - shift * SUB_COUNT;
  return (mantissa << shift) + ((uint64_t{1} << shift) >> 1);
}

} // namespace

void write_record(uint8_t *out, size_t size, uint64_t seq, uint64_t sent_ns) {
  memcpy(out, &seq, sizeof(seq));
  memcpy(out + sizeof(seq), &sent_ns, sizeof(sent_ns));
  memcpy(out + RECORD_HEADER_SIZE, body_of(seq) + RECORD_HEADER_SIZE, size - RECORD_HEADER_SIZE);
}

void latency_histogram::add(uint64_t ns) {
  const size_t b = bucket_of(ns);
  ++buckets[b < buckets.size() ? b : buckets.size() - 1];
  ++total;
}

uint64_t latency_histogram::percentile(double q) const {
  if (total == 0)
    return 0;
  const auto rank = static_cast<uint64_t>(q * static_cast<double>(total - 1)) + 1;
  uint64_t seen = 0;
  for (size_t b = 0; b < buckets.size(); ++b) {
    seen += buckets[b];
    if (seen >= rank)
      return bucket_middle(b);
  }
  return bucket_middle(buckets.size() - 1);
}

bool record_stream::feed(const uint8_t *p, size_t n, uint64_t now_ns, window_tally &tally) {
  if (partial_size != 0) {
    const size_t take = n < size - partial_size ? n : size - partial_size;
    memcpy(partial.data() + partial_size, p, take);
    partial_size += take;
    p += take;
    n -= take;
    if (partial_size < size)
      return true;
    partial_size = 0;
    if (!check(partial.data(), now_ns, tally))
      return false;
  }
  for (; n >= size; p += size, n -= size)
    if (!check(p, now_ns, tally))
      return false;
  memcpy(partial.data(), p, n);
  partial_size = n;
  return true;
}

bool record_stream::check(const uint8_t *record, uint64_t now_ns, window_tally &tally) {
  const uint64_t seq = load_u64(record);
  if (!seen) {
    seen = true;
    next_seq = seq;
  }
  if (seq != next_seq) {
    fault = "a record out of sequence";
    return false;
  }
  if (memcmp(record + RECORD_HEADER_SIZE, body_of(seq) + RECORD_HEADER_SIZE, size - RECORD_HEADER_SIZE) != 0) {
    fault = "a record with a wrong body";
    return false;
  }
  ++next_seq;
  if (now_ns >= tally.from_ns && now_ns < tally.to_ns) {
    ++tally.records;
    const uint64_t sent_ns = load_u64(record + sizeof(seq));
    tally.latency.add(now_ns > sent_ns ? now_ns - sent_ns : 0);
  }
  return true;
}
