// A TLS connection that ends while the slot's threads still use it: nothing
// leaves it unencrypted and nothing reaches the caller undecrypted.
#include "tls/g_tls.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock.h"
#include "support/byte_pattern.h"
#include "support/tls_records.h"
#include "tls/connection_fixture.h"
#include "tls/tls_fixture.h"

namespace {

// The window is a few instructions wide; enough rounds hit it often.
constexpr int ROUNDS = 300;
constexpr auto ROUNDS_TIME = std::chrono::seconds(30);
constexpr uint32_t UPSTREAM = 7;
constexpr size_t UPSTREAM_CHUNK = 512;
// Far more than a round lasts: the loops end with the connection.
constexpr int LOOP_MAX = 1 << 20;

// The relay's reader and writer spend time between their calls (relaying,
// waiting for the next payload); a call that starts while the connection
// ends is what the window needs.
void pause_between_calls() {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(5);
  while (std::chrono::steady_clock::now() < until) {
  }
}

// What one round saw at both ends.
struct round_result {
  bool finished = false;
  std::vector<uint8_t> at_client;
  std::vector<uint8_t> at_server;
};

// The slot's reader and writer run on one connection while a third thread
// ends it; the client streams a known pattern and reads the raw socket.
round_result run_round(test_client &client, g_tls_t &server, int sends_before_end) {
  const std::vector<uint8_t> payload(64, 'P');
  std::atomic<int> sends{0};
  std::atomic<uint64_t> received{0};
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < LOOP_MAX && server.send(payload.data(), payload.size()) > 0; ++i) {
      sends.fetch_add(1);
      pause_between_calls();
    }
  });
  auto reader = std::async(std::launch::async, [&] {
    std::vector<uint8_t> got;
    std::vector<uint8_t> buffer(4096);
    for (int i = 0; i < LOOP_MAX; ++i) {
      int64_t n = server.recv(buffer.data(), buffer.size());
      if (n <= 0) {
        break;
      }
      got.insert(got.end(), buffer.begin(), buffer.begin() + n);
      received.fetch_add(static_cast<uint64_t>(n));
      pause_between_calls();
    }
    return got;
  });
  auto upstream = std::async(std::launch::async, [&] {
    const std::vector<uint8_t> stream = byte_pattern<std::vector<uint8_t>>(UPSTREAM, UPSTREAM_CHUNK * 4096);
    for (size_t at = 0; at < stream.size() && client.write(stream.data() + at, UPSTREAM_CHUNK); at += UPSTREAM_CHUNK) {
    }
  });
  auto downstream = std::async(std::launch::async, [&] {
    std::vector<uint8_t> got;
    uint8_t buffer[4096];
    for (int i = 0; i < LOOP_MAX; ++i) {
      int n = recv(static_cast<SOCKET>(client.fd), reinterpret_cast<char *>(buffer), sizeof buffer, 0);
      if (n <= 0) {
        break;
      }
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  });

  auto deadline = std::chrono::steady_clock::now() + DEADLINE;
  while ((sends.load() < sends_before_end || received.load() == 0) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  server.disconnect();

  round_result result;
  if (finishes(writer) && finishes(reader) && finishes(downstream)) {
    result.finished = true;
    result.at_server = reader.get();
    result.at_client = downstream.get();
  }
  // The client's writes end when the socket is closed under them.
  server.release_socket();
  finishes(upstream);
  return result;
}

TEST_F(connected_transport, a_connection_ended_under_traffic_stays_inside_tls) {
  const std::vector<uint8_t> upstream = byte_pattern<std::vector<uint8_t>>(UPSTREAM, UPSTREAM_CHUNK * 4096);
  auto stop = std::chrono::steady_clock::now() + ROUNDS_TIME;
  int rounds = 0;
  for (; rounds < ROUNDS && std::chrono::steady_clock::now() < stop; ++rounds) {
    test_client client;
    g_tls_t server;
    ASSERT_NO_FATAL_FAILURE(connect_tls(client, server));
    round_result seen = run_round(client, server, 1 + rounds % 16);

    ASSERT_TRUE(seen.finished) << "round " << rounds << ": the connection's users did not end";
    std::string why;
    ASSERT_TRUE(only_tls_records(seen.at_client.data(), seen.at_client.size(), why))
        << "round " << rounds << ": the client received bytes outside TLS records, " << why;
    ASSERT_LE(seen.at_server.size(), upstream.size());
    ASSERT_TRUE(std::equal(seen.at_server.begin(), seen.at_server.end(), upstream.begin()))
        << "round " << rounds << ": the server's recv returned bytes the client never sent";
  }
  EXPECT_GE(rounds, 20) << "too few rounds ran to hit the window";
}

} // namespace
