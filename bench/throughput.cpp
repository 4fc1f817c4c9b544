// Throughput of the real relay on loopback: one sender, N receivers of a
// given protocol, a stream of M MiB; prints MiB/s per receiver and the
// relay's peak resident memory. With a message size, the sender speaks the
// receivers' protocol and sends messages of that size; otherwise it is a raw
// client sending 1 MiB writes.
//
//   build/relay_bench [receivers] [MiB] [raw|tls|ws|wss] [packet length] [message size]
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/certificate.h"
#include "support/hub_clients.h"
#include "support/hub_peer.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

peer_kind kind_of(const std::string &name) {
  if (name == "tls")
    return peer_kind::tls;
  if (name == "ws")
    return peer_kind::ws;
  if (name == "wss")
    return peer_kind::wss;
  return peer_kind::raw;
}

long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return -1;
}

} // namespace

int main(int argc, char **argv) {
  const int receivers = argc > 1 ? std::atoi(argv[1]) : 4;
  const size_t mib = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 256;
  const std::string protocol = argc > 3 ? argv[3] : "raw";
  const std::string packet_length = argc > 4 ? argv[4] : "65536";
  const size_t message_size = argc > 5 ? static_cast<size_t>(std::atol(argv[5])) : 0;

  temp_dir dir;
  relay_process relay;
  if (!write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem) ||
      !relay.start_listening({"-c", std::to_string(receivers + 1), "-L", packet_length}, dir.path)) {
    fprintf(stderr, "relay did not start\n");
    return 1;
  }
  hub_peer sender(message_size != 0 ? kind_of(protocol) : peer_kind::raw);
  std::vector<std::unique_ptr<hub_peer>> peers;
  bool opened = sender.open(relay.port);
  for (int i = 0; i < receivers; ++i) {
    peers.push_back(std::make_unique<hub_peer>(kind_of(protocol)));
    opened = opened && peers.back()->open(relay.port);
  }
  if (!opened) {
    fprintf(stderr, "a client could not connect\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));

  const size_t total = mib << 20;
  std::string chunk(message_size != 0 ? message_size : 1 << 20, 'x');
  const auto start = std::chrono::steady_clock::now();
  std::thread source([&] {
    for (size_t sent = 0; sent < total; sent += chunk.size())
      sender.send(chunk);
  });
  std::vector<std::thread> sinks;
  std::vector<int> complete(static_cast<size_t>(receivers), 0);
  for (int i = 0; i < receivers; ++i)
    sinks.emplace_back([&, i] {
      size_t got = 0;
      while (got < total) {
        std::string part = peers[static_cast<size_t>(i)]->recv_bytes(std::min<size_t>(total - got, 1 << 16), 30000);
        if (part.empty())
          return;
        got += part.size();
      }
      complete[static_cast<size_t>(i)] = 1;
    });
  source.join();
  for (auto &t : sinks)
    t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int ok = 0;
  for (int c : complete)
    ok += c;
  const long rss = peak_rss_kib(relay.pid);
  relay.stop(SIGTERM, 10000);
  printf("%s x%d, packet length %s, %s: %zu MiB to each receiver in %.2f s: %.0f MiB/s per receiver, %.0f MiB/s out "
         "(%d/%d complete); relay peak RSS %ld KiB\n",
         protocol.c_str(), receivers, packet_length.c_str(),
         message_size != 0 ? (std::to_string(message_size) + " B messages").c_str() : "1 MiB raw writes", mib, seconds,
         mib / seconds, receivers * mib / seconds, ok, receivers, rss);
  return ok == receivers ? 0 : 1;
}
