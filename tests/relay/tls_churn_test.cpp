// TLS and WSS clients that come and go while others stream to them, and a
// stop under traffic: a TLS client never sees a byte outside TLS records and
// a raw client never sees ciphertext.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/certificate.h"
#include "support/hub_clients.h"
#include "support/hub_peer.h"
#include "support/relay_process.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"
#include "support/tls_records.h"

namespace {

constexpr int CHURNERS = 4;
constexpr auto CHURN_TIME = std::chrono::seconds(8);
constexpr size_t CHUNK = 96;

// Every sender sends this stream: digits and line ends only.
bool is_stream_byte(char c) {
  return (c >= '0' && c <= '9') || c == '\n';
}

std::string stream_chunk(uint64_t &at) {
  std::string chunk(CHUNK, '\0');
  for (char &c : chunk)
    c = record_stream_byte(at++);
  return chunk;
}

// Reads the socket until it ends or `timeout_ms` passes without a byte.
std::string read_until_end(int fd, int timeout_ms) {
  std::string got;
  char buffer[65536];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, timeout_ms) == 1) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
      break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// Connects a TLS or WSS client, reads for a moment, half-closes so that the
// relay ends the connection while payloads for it are under way, and reads
// what is left. Returns an empty string when every byte was a TLS record.
std::string churn_once(uint16_t port, peer_kind kind, int read_ms) {
  hub_peer peer(kind);
  if (!peer.open(port))
    return "";
  std::string got;
  pollfd p{peer.fd, POLLIN, 0};
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(read_ms);
  char buffer[65536];
  while (std::chrono::steady_clock::now() < until && poll(&p, 1, 10) >= 0) {
    ssize_t n = (p.revents & POLLIN) != 0 ? ::recv(peer.fd, buffer, sizeof buffer, MSG_DONTWAIT) : 0;
    if (n < 0 && errno != EAGAIN)
      break;
    if (n > 0)
      got.append(buffer, static_cast<size_t>(n));
  }
  ::shutdown(peer.fd, SHUT_WR);
  got += read_until_end(peer.fd, 5000);
  std::string why;
  if (!only_tls_records(reinterpret_cast<const uint8_t *>(got.data()), got.size(), why))
    return std::string(peer_name(kind)) + ": " + why;
  return "";
}

TEST(TlsChurn, EndingConnectionsNeverCarryPlaintextOrRelayCiphertext) {
  temp_dir dir;
  relay_process relay;
  ASSERT_TRUE(write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem));
  ASSERT_TRUE(relay.start_listening({"-c", "16"}, dir.path));
  std::vector<tcp_client> raw;
  ASSERT_TRUE(connect_raw_clients(relay.port, 3, raw));
  hub_peer tls_sender(peer_kind::tls);
  hub_peer wss_sender(peer_kind::wss);
  ASSERT_TRUE(tls_sender.open(relay.port)) << tls_sender.error;
  ASSERT_TRUE(wss_sender.open(relay.port)) << wss_sender.error;

  std::atomic<bool> streaming{true};
  std::vector<std::thread> senders;
  senders.emplace_back([&] {
    uint64_t at = 0;
    while (streaming.load() && raw[0].send_text(stream_chunk(at))) {
    }
  });
  for (hub_peer *peer : {&tls_sender, &wss_sender}) {
    senders.emplace_back([&, peer] {
      uint64_t at = 0;
      while (streaming.load() && peer->send(stream_chunk(at), true)) {
      }
    });
  }
  // Every client reads all that reaches it until the relay stops: one that
  // did not would hold the relay's sends up.
  std::vector<std::thread> receivers;
  std::vector<std::string> at_raw(raw.size());
  std::vector<std::string> at_tls(2);
  for (size_t i = 0; i < raw.size(); ++i)
    receivers.emplace_back([&, i] { at_raw[i] = read_until_end(raw[i].fd, 15000); });
  receivers.emplace_back([&] { at_tls[0] = read_until_end(tls_sender.fd, 15000); });
  receivers.emplace_back([&] { at_tls[1] = read_until_end(wss_sender.fd, 15000); });

  std::vector<std::thread> churners;
  std::vector<std::string> faults(CHURNERS);
  std::atomic<int> rounds{0};
  auto stop = std::chrono::steady_clock::now() + CHURN_TIME;
  for (int c = 0; c < CHURNERS; ++c) {
    churners.emplace_back([&, c] {
      for (int i = 0; faults[c].empty() && std::chrono::steady_clock::now() < stop; ++i) {
        faults[c] = churn_once(relay.port, c % 2 == 0 ? peer_kind::tls : peer_kind::wss, i % 20);
        rounds.fetch_add(1);
      }
    });
  }
  for (auto &t : churners)
    t.join();
  // A stop under traffic ends every connection while its threads still run.
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
  streaming.store(false);
  for (auto &t : receivers)
    t.join();
  for (auto &t : senders)
    t.join();

  for (const std::string &fault : faults)
    EXPECT_EQ(fault, "");
  EXPECT_GE(rounds.load(), 40);
  for (const std::string &got : at_raw) {
    EXPECT_FALSE(got.empty());
    size_t bad = 0;
    while (bad < got.size() && is_stream_byte(got[bad]))
      ++bad;
    EXPECT_EQ(bad, got.size()) << "a raw client received a byte no sender sent, at " << bad << " of " << got.size();
  }
  for (const std::string &got : at_tls) {
    std::string why;
    EXPECT_TRUE(only_tls_records(reinterpret_cast<const uint8_t *>(got.data()), got.size(), why)) << why;
  }
}

} // namespace
