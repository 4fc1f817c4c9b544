// Load generator for one benchmark run against a broadcast hub on loopback:
// N receivers and one sender of one protocol. The sender first sends single
// probe records until every receiver has one (so each is known to be set up
// and its stream starts on a record boundary), then records for a warm-up
// and a measured time: as fast as the slowest receiver allows (64 KiB
// writes, at most a window of bytes ahead of it) or at a fixed rate, one
// record per write. Every receiver checks every byte of every record, in
// order, up to the last one sent. Prints one JSON line with the figures of
// the measured time.
//
//   relay_load --protocol raw|tls|ws|wss --port P [--receivers N] [--size BYTES]
//              [--rate PER_SECOND (0: full load)] [--seconds S] [--warmup S]
//              [--window BYTES] [--relay-pid PID]
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <openssl/rand.h>
#include <pthread.h>

#include "client.h"
#include "frames.h"
#include "record.h"

namespace {

constexpr size_t BATCH_SIZE = 64 * 1024;
constexpr size_t READ_SIZE = 256 * 1024;
// Reads of one connection per readiness event, so that one busy receiver
// does not hold the others back.
constexpr int READS_PER_TURN = 16;
constexpr uint64_t PROBE_INTERVAL_NS = 20'000'000;
constexpr uint64_t SETUP_LIMIT_NS = 15'000'000'000;
constexpr uint64_t DRAIN_LIMIT_NS = 15'000'000'000;
constexpr int MAX_RECEIVERS = 64;

uint64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(t.tv_nsec);
}

void sleep_until_ns(uint64_t at) {
  const timespec t{static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

double thread_cpu_s(std::thread &thread) {
  clockid_t clock;
  timespec t;
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &t) != 0)
    return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double process_cpu_s() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// User and system time of process `pid` (all its threads), or 0.
double other_process_cpu_s(int pid) {
  if (pid <= 0)
    return 0;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos)
    return 0;
  // utime and stime are fields 14 and 15; the text after the name starts
  // with field 3.
  const char *p = stat.c_str() + name_end + 2;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  if (sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct options {
  protocol_t protocol = protocol_t::raw;
  uint16_t port = 0;
  int receivers = 8;
  size_t size = 64;
  double rate = 0;
  double seconds = 2;
  double warmup = 0.3;
  size_t window = 4u << 20;
  int relay_pid = 0;
};

void print_usage() {
  fprintf(stderr,
          "usage: relay_load --protocol raw|tls|ws|wss --port P [--receivers 1-%d] [--size %zu-%zu]\n"
          "                  [--rate PER_SECOND] [--seconds S] [--warmup S] [--window BYTES] [--relay-pid PID]\n",
          MAX_RECEIVERS, RECORD_MIN_SIZE, RECORD_MAX_SIZE);
}

// 0 with `out` filled, or -1.
int parse_options(int argc, char **argv, options &out) {
  bool have_port = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char *value = argv[i + 1];
    if (name == "--protocol") {
      if (parse_protocol(value, &out.protocol) != 0)
        return -1;
    } else if (name == "--port") {
      const long port = atol(value);
      if (port < 1 || port > 65535)
        return -1;
      out.port = static_cast<uint16_t>(port);
      have_port = true;
    } else if (name == "--receivers") {
      out.receivers = atoi(value);
    } else if (name == "--size") {
      out.size = static_cast<size_t>(atol(value));
    } else if (name == "--rate") {
      out.rate = atof(value);
    } else if (name == "--seconds") {
      out.seconds = atof(value);
    } else if (name == "--warmup") {
      out.warmup = atof(value);
    } else if (name == "--window") {
      out.window = static_cast<size_t>(atol(value));
    } else if (name == "--relay-pid") {
      out.relay_pid = atoi(value);
    } else {
      return -1;
    }
  }
  const bool valid = have_port && argc % 2 == 1 && out.receivers >= 1 && out.receivers <= MAX_RECEIVERS &&
                     out.size >= RECORD_MIN_SIZE && out.size <= RECORD_MAX_SIZE && out.rate >= 0 && out.seconds > 0 &&
                     out.seconds <= 600 && out.warmup >= 0 && out.warmup <= 60 && out.window >= out.size;
  return valid ? 0 : -1;
}

// What the sender and the receiving thread share.
struct shared_state {
  std::atomic<int> started{0};
  // Bounds of the measured time; the receivers count only in between.
  std::atomic<uint64_t> from_ns{UINT64_MAX};
  std::atomic<uint64_t> to_ns{UINT64_MAX};
  // Set once the sender has written its last record: the number written.
  std::atomic<uint64_t> total{0};
  std::atomic<bool> sender_done{false};
  // Set once the CPU use of the measured time has been taken, which needs
  // both threads still running.
  std::atomic<bool> measured{false};
  // Set when the sender gave up: the receivers stop at once.
  std::atomic<bool> abandoned{false};
  // The next record the slowest healthy receiver waits for.
  std::atomic<uint64_t> slowest{0};
  std::atomic<bool> sender_waiting{false};
  std::mutex mutex;
  std::condition_variable progressed;
};

struct receiver {
  explicit receiver(size_t size) : records(size) {}
  client conn;
  record_stream records;
  ws_frame_reader frames;
  const char *fault = nullptr;
};

struct receive_result {
  window_tally tally;
  std::string fault;
};

class receiving {
public:
  receiving(std::vector<std::unique_ptr<receiver>> &all, bool websocket_frames, shared_state &shared_state)
      : receivers(all), frames(websocket_frames), shared(shared_state), buffer(READ_SIZE) {}

  // Reads every receiver until each has every record the sender wrote, one
  // fails, or the time limit `limit_ns` passes.
  void run(uint64_t limit_ns, receive_result &result);

private:
  // Reads one receiver for a turn: false when it has more to read.
  bool read_turn(receiver &r, window_tally &tally);
  void fail(receiver &r, const char *fault);
  void publish_progress();
  bool all_done() const;

  std::vector<std::unique_ptr<receiver>> &receivers;
  bool frames;
  shared_state &shared;
  std::vector<uint8_t> buffer;
  int epoll_fd = -1;
};

void receiving::run(uint64_t limit_ns, receive_result &result) {
  epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < receivers.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, receivers[i]->conn.fd(), &event);
  }
  std::vector<size_t> again;
  std::vector<size_t> next_again;
  epoll_event events[MAX_RECEIVERS];
  while (!all_done()) {
    if (now_ns() > limit_ns) {
      result.fault = "the receivers did not get every record in time";
      break;
    }
    result.tally.from_ns = shared.from_ns.load(std::memory_order_relaxed);
    result.tally.to_ns = shared.to_ns.load(std::memory_order_relaxed);

    const int ready = epoll_wait(epoll_fd, events, MAX_RECEIVERS, again.empty() ? 20 : 0);
    next_again.clear();
    for (int i = 0; i < ready; ++i)
      if (!read_turn(*receivers[events[i].data.u64], result.tally))
        next_again.push_back(events[i].data.u64);
    for (size_t index : again)
      if (!read_turn(*receivers[index], result.tally))
        next_again.push_back(index);
    std::sort(next_again.begin(), next_again.end());
    next_again.erase(std::unique(next_again.begin(), next_again.end()), next_again.end());
    again.swap(next_again);
    publish_progress();
  }
  close(epoll_fd);
  for (const auto &r : receivers)
    if (r->fault != nullptr && result.fault.empty())
      result.fault = r->fault;
}

bool receiving::read_turn(receiver &r, window_tally &tally) {
  if (r.fault != nullptr)
    return true;
  for (int turn = 0; turn < READS_PER_TURN; ++turn) {
    const int64_t got = r.conn.read_some(buffer.data(), buffer.size());
    if (got == 0)
      return true;
    if (got < 0) {
      fail(r, "a receiver's connection ended");
      return true;
    }
    const uint64_t now = now_ns();
    const auto n = static_cast<size_t>(got);
    const bool fed =
        frames ? r.frames.feed(buffer.data(), n, now, r.records, tally) : r.records.feed(buffer.data(), n, now, tally);
    if (!fed) {
      fail(r, r.records.fault != nullptr ? r.records.fault : r.frames.fault);
      return true;
    }
  }
  return false;
}

void receiving::fail(receiver &r, const char *fault) {
  r.fault = fault;
  epoll_ctl(epoll_fd, EPOLL_CTL_DEL, r.conn.fd(), nullptr);
}

void receiving::publish_progress() {
  int started = 0;
  uint64_t slowest = UINT64_MAX;
  for (const auto &r : receivers) {
    if (r->fault != nullptr || !r->records.started())
      continue;
    ++started;
    slowest = std::min(slowest, r->records.next());
  }
  shared.started.store(started);
  if (slowest != shared.slowest.load()) {
    shared.slowest.store(slowest);
    if (shared.sender_waiting.load()) {
      std::lock_guard<std::mutex> lock(shared.mutex);
      shared.progressed.notify_one();
    }
  }
}

bool receiving::all_done() const {
  if (shared.abandoned.load())
    return true;
  if (!shared.sender_done.load())
    return false;
  const uint64_t total = shared.total.load();
  for (const auto &r : receivers)
    if (r->fault == nullptr && r->records.next() != total)
      return false;
  return true;
}

struct send_result {
  uint64_t written = 0;
  std::string fault;
};

class sending {
public:
  sending(client &conn, const options &o, shared_state &shared_state)
      : sender(conn), opt(o), shared(shared_state), batch(BATCH_SIZE + ws_frame_size(RECORD_MAX_SIZE)) {
    RAND_bytes(reinterpret_cast<unsigned char *>(&mask_state), sizeof(mask_state));
    mask_state |= 1;
  }

  // Probe records, one per write, until every receiver has one. 0 or -1.
  int probe();
  // The load, from the warm-up to the end of the measured time. 0 or -1.
  int load(send_result &result);

private:
  size_t put(uint8_t *out, uint64_t sent_ns);
  // A 64 KiB batch of records (at least one), all stamped now.
  size_t fill_batch();
  int write_one();
  int wait_for_receivers(uint64_t limit_ns);

  client &sender;
  const options &opt;
  shared_state &shared;
  std::vector<uint8_t> batch;
  uint64_t seq = 0;
  uint32_t mask_state = 0;
};

// Writes the next record at `out`, framed and masked for WebSocket, and
// returns the bytes written.
size_t sending::put(uint8_t *out, uint64_t sent_ns) {
  if (!websocket(opt.protocol)) {
    write_record(out, opt.size, seq++, sent_ns);
    return opt.size;
  }
  // xorshift32: a fresh mask key per frame without a system call.
  mask_state ^= mask_state << 13;
  mask_state ^= mask_state >> 17;
  mask_state ^= mask_state << 5;
  const size_t header = ws_frame_header(out, opt.size, mask_state);
  write_record(out + header, opt.size, seq++, sent_ns);
  ws_mask(out + header, opt.size, mask_state);
  return header + opt.size;
}

int sending::write_one() {
  const size_t n = put(batch.data(), now_ns());
  shared.total.store(seq);
  return sender.write_all(batch.data(), n);
}

int sending::probe() {
  const uint64_t limit = now_ns() + SETUP_LIMIT_NS;
  while (shared.started.load() < opt.receivers) {
    if (now_ns() > limit || write_one() != 0)
      return -1;
    std::this_thread::sleep_for(std::chrono::nanoseconds(PROBE_INTERVAL_NS));
  }
  return 0;
}

// Waits while the sender is a window or more ahead of the slowest receiver.
int sending::wait_for_receivers(uint64_t limit_ns) {
  const uint64_t window_records = opt.window / opt.size;
  while (seq - std::min(seq, shared.slowest.load()) >= window_records) {
    if (now_ns() > limit_ns)
      return -1;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.sender_waiting.store(true);
    if (seq - std::min(seq, shared.slowest.load()) >= window_records)
      shared.progressed.wait_for(lock, std::chrono::milliseconds(5));
    shared.sender_waiting.store(false);
  }
  return 0;
}

size_t sending::fill_batch() {
  const size_t frame = websocket(opt.protocol) ? ws_frame_size(opt.size) : opt.size;
  const uint64_t stamp = now_ns();
  size_t n = 0;
  for (size_t i = 0; i < std::max<size_t>(1, BATCH_SIZE / frame); ++i)
    n += put(batch.data() + n, stamp);
  return n;
}

int sending::load(send_result &result) {
  const uint64_t start = now_ns();
  const uint64_t from = start + static_cast<uint64_t>(opt.warmup * 1e9);
  const uint64_t to = from + static_cast<uint64_t>(opt.seconds * 1e9);
  // The end first: whoever sees the start may read the end.
  shared.to_ns.store(to);
  shared.from_ns.store(from);
  const uint64_t first = seq;
  for (uint64_t now = start; now < to; now = now_ns()) {
    if (opt.rate > 0) {
      sleep_until_ns(start + static_cast<uint64_t>(static_cast<double>(seq - first) * 1e9 / opt.rate));
    } else if (wait_for_receivers(to + DRAIN_LIMIT_NS) != 0) {
      result.fault = "the receivers fell behind for good";
      return -1;
    }
    const size_t n = opt.rate > 0 ? put(batch.data(), now_ns()) : fill_batch();
    shared.total.store(seq);
    if (sender.write_all(batch.data(), n) != 0) {
      result.fault = "the sender: " + sender.error;
      return -1;
    }
  }
  result.written = seq - first;
  return 0;
}

// Connects the receivers, then the sender. 0 or -1 with `fault` set.
int connect_all(const options &opt, SSL_CTX *ctx, std::vector<std::unique_ptr<receiver>> &receivers, client &sender,
                std::string &fault) {
  for (int i = 0; i < opt.receivers; ++i) {
    auto r = std::make_unique<receiver>(opt.size);
    if (r->conn.open(opt.protocol, opt.port, ctx) != 0 || r->conn.set_nonblocking() != 0) {
      fault = "receiver " + std::to_string(i) + ": " + r->conn.error;
      return -1;
    }
    receivers.push_back(std::move(r));
  }
  if (sender.open(opt.protocol, opt.port, ctx) != 0) {
    fault = "sender: " + sender.error;
    return -1;
  }
  return 0;
}

// CPU time used so far by the hub, the load generator and its two threads,
// and the wall clock, all in seconds.
struct cpu_sample {
  double wall = 0;
  double relay = 0;
  double load = 0;
  double sender = 0;
  double receiver = 0;
};

cpu_sample take_sample(int relay_pid, std::thread &sender, std::thread &receiver) {
  return {static_cast<double>(now_ns()) / 1e9, other_process_cpu_s(relay_pid), process_cpu_s(), thread_cpu_s(sender),
          thread_cpu_s(receiver)};
}

// Waits for the measured time to begin and to end and returns the CPU time
// used in between; all zero if the sender stops before it begins.
cpu_sample measure(const options &opt, shared_state &shared, std::thread &sender, std::thread &receiver) {
  const uint64_t limit = now_ns() + SETUP_LIMIT_NS + static_cast<uint64_t>(opt.warmup * 1e9);
  while (shared.from_ns.load() == UINT64_MAX) {
    if (shared.sender_done.load() || now_ns() > limit)
      return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sleep_until_ns(shared.from_ns.load());
  const cpu_sample from = take_sample(opt.relay_pid, sender, receiver);
  sleep_until_ns(shared.to_ns.load());
  const cpu_sample to = take_sample(opt.relay_pid, sender, receiver);
  shared.measured.store(true);
  return {to.wall - from.wall, to.relay - from.relay, to.load - from.load, to.sender - from.sender,
          to.receiver - from.receiver};
}

// Holds the sender (and so the receivers, which wait for it) until the CPU
// use of the measured time has been taken, for at most a second.
void wait_measured(shared_state &shared) {
  const uint64_t limit = now_ns() + 1'000'000'000;
  while (!shared.measured.load() && now_ns() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Fault texts can quote what a hub answered.
std::string json_text(const std::string &text) {
  std::string out;
  for (char c : text)
    if (c == '"' || c == '\\')
      out += '\'';
    else if (static_cast<unsigned char>(c) >= 0x20)
      out += c;
  return out;
}

void print_result(const options &opt, const send_result &sent, const receive_result &received, const cpu_sample &cpu,
                  const char *cipher, const std::string &fault) {
  const double messages_per_s = static_cast<double>(received.tally.records) / opt.seconds;
  // CPU time per second of the measured time: 1.0 is one core kept busy.
  const auto share = [&](double cpu_s) { return cpu.wall > 0 ? cpu_s / cpu.wall : 0; };
  const auto microseconds = [&](double q) { return static_cast<double>(received.tally.latency.percentile(q)) / 1e3; };
  printf("{\"protocol\": \"%s\", \"receivers\": %d, \"size\": %zu, \"rate\": %.0f, \"seconds\": %.2f, "
         "\"messages_per_s\": %.0f, \"mb_per_s\": %.2f, \"p50_us\": %.1f, \"p99_us\": %.1f, \"samples\": %llu, "
         "\"sent_per_s\": %.0f, \"relay_cpu\": %.3f, \"load_cpu\": %.3f, \"sender_cpu\": %.3f, "
         "\"receiver_cpu\": %.3f, \"cipher\": \"%s\", \"fault\": \"%s\"}\n",
         opt.protocol == protocol_t::raw   ? "raw"
         : opt.protocol == protocol_t::tls ? "tls"
         : opt.protocol == protocol_t::ws  ? "ws"
                                           : "wss",
         opt.receivers, opt.size, opt.rate, opt.seconds, messages_per_s,
         messages_per_s * static_cast<double>(opt.size) / 1e6, microseconds(0.50), microseconds(0.99),
         static_cast<unsigned long long>(received.tally.latency.count()),
         static_cast<double>(sent.written) / (opt.seconds + opt.warmup), share(cpu.relay), share(cpu.load),
         share(cpu.sender), share(cpu.receiver), cipher, json_text(fault).c_str());
}

} // namespace

int main(int argc, char **argv) {
  options opt;
  if (parse_options(argc, argv, opt) != 0) {
    print_usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  // The hubs share one self-signed certificate made for the run; what is
  // measured is the traffic, not the certificate check.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);

  shared_state shared;
  std::vector<std::unique_ptr<receiver>> receivers;
  client sender;
  send_result sent;
  receive_result received;
  cpu_sample cpu;
  std::string fault;
  if (connect_all(opt, ctx, receivers, sender, fault) == 0) {
    receiving readers(receivers, websocket(opt.protocol), shared);
    const uint64_t limit =
        now_ns() + SETUP_LIMIT_NS + static_cast<uint64_t>((opt.warmup + opt.seconds) * 1e9) + DRAIN_LIMIT_NS;
    std::thread reading([&] { readers.run(limit, received); });
    std::thread writing([&] {
      sending writer(sender, opt, shared);
      if (writer.probe() != 0)
        sent.fault = "not every receiver was set up within 15 s";
      else if (writer.load(sent) == 0)
        wait_measured(shared);
      shared.abandoned.store(!sent.fault.empty());
      shared.sender_done.store(true);
    });
    cpu = measure(opt, shared, writing, reading);
    writing.join();
    reading.join();
    fault = !sent.fault.empty() ? sent.fault : received.fault;
  }
  print_result(opt, sent, received, cpu, receivers.empty() ? "none" : receivers.front()->conn.cipher(), fault);
  receivers.clear();
  SSL_CTX_free(ctx);
  return fault.empty() ? 0 : 1;
}
