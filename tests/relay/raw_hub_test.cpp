// The relay with raw TCP clients: broadcast, order and integrity, flow
// control, resets, console lines, shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <thread>

#include "support/hub_clients.h"
#include "support/relay_process.h"
#include "support/tcp_client.h"

namespace {

using namespace std::chrono_literals;

struct broadcast_case {
  int slots;
  int clients;
};

void PrintTo(const broadcast_case &c, std::ostream *os) {
  *os << c.clients << " of " << c.slots;
}

class RawBroadcast : public ::testing::TestWithParam<broadcast_case> {};

// Every client's line reaches every other client, never its sender.
TEST_P(RawBroadcast, EveryLineReachesEveryOtherClient) {
  const broadcast_case c = GetParam();
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", std::to_string(c.slots)}));
  std::vector<tcp_client> clients;
  ASSERT_TRUE(connect_raw_clients(relay.port, c.clients, clients));

  for (int i = 0; i < c.clients; ++i) {
    const std::string line = "line from client " + std::to_string(i) + "\n";
    ASSERT_TRUE(clients[static_cast<size_t>(i)].send_text(line));
    for (int j = 0; j < c.clients; ++j) {
      if (j == i)
        continue;
      EXPECT_EQ(clients[static_cast<size_t>(j)].recv_exact(line.size(), 5000), line) << "client " << j;
    }
  }
  for (auto &client : clients)
    EXPECT_EQ(client.recv_some(100), "") << "an echo or a duplicate arrived";
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RawBroadcast,
                         ::testing::Values(broadcast_case{2, 2}, broadcast_case{8, 5}, broadcast_case{32, 32}));

// A client beyond the slot count waits in the backlog and is served once a
// slot frees.
TEST(RawHub, ClientBeyondTheSlotsWaitsUntilOneLeaves) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "2"}));
  std::vector<tcp_client> clients;
  ASSERT_TRUE(connect_raw_clients(relay.port, 3, clients));
  ASSERT_TRUE(clients[0].send_text("first\n"));
  EXPECT_EQ(clients[1].recv_exact(6, 5000), "first\n");
  EXPECT_EQ(clients[2].recv_some(300), "") << "the third client was served without a slot";

  clients[0].close();
  ASSERT_TRUE(relay.wait_output(":: SYN from", 5000, 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  ASSERT_TRUE(clients[1].send_text("second\n"));
  EXPECT_EQ(clients[2].recv_exact(7, 5000), "second\n");
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// A large stream arrives whole and in order, in both directions at once.
TEST(RawHub, LargeStreamsArriveWholeAndInOrder) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "4"}));
  std::vector<tcp_client> clients;
  ASSERT_TRUE(connect_raw_clients(relay.port, 2, clients));

  const std::string a_to_b = byte_pattern(8 << 20, 1);
  const std::string b_to_a = byte_pattern(8 << 20, 2);
  std::string at_b, at_a;
  std::thread send_a([&] { clients[0].send_all(a_to_b.data(), a_to_b.size()); });
  std::thread send_b([&] { clients[1].send_all(b_to_a.data(), b_to_a.size()); });
  std::thread read_b([&] { at_b = clients[1].recv_exact(a_to_b.size(), 60000); });
  at_a = clients[0].recv_exact(b_to_a.size(), 60000);
  send_a.join();
  send_b.join();
  read_b.join();
  EXPECT_TRUE(at_b == a_to_b) << "received " << at_b.size() << " bytes at B";
  EXPECT_TRUE(at_a == b_to_a) << "received " << at_a.size() << " bytes at A";
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// Two senders to one target at once: each sender's bytes arrive complete and
// in order (A sends only bytes below 0x80, B only bytes from 0x80 up).
TEST(RawHub, TwoSendersToOneTargetKeepTheirOrder) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "3"}));
  std::vector<tcp_client> clients;
  ASSERT_TRUE(connect_raw_clients(relay.port, 3, clients));
  const size_t size = 2 << 20;
  std::string a(size, '\0'), b(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    a[i] = static_cast<char>(i % 127);
    b[i] = static_cast<char>(0x80 + i % 127);
  }
  std::thread send_a([&] { clients[0].send_all(a.data(), a.size()); });
  std::thread send_b([&] { clients[1].send_all(b.data(), b.size()); });
  // The senders also receive each other's stream; drain them.
  std::thread drain_a([&] { clients[0].recv_exact(size, 60000); });
  std::thread drain_b([&] { clients[1].recv_exact(size, 60000); });
  const std::string target = clients[2].recv_exact(2 * size, 60000);
  send_a.join();
  send_b.join();
  drain_a.join();
  drain_b.join();

  ASSERT_EQ(target.size(), 2 * size);
  std::string from_a, from_b;
  for (char ch : target)
    (static_cast<uint8_t>(ch) < 0x80 ? from_a : from_b).push_back(ch);
  EXPECT_TRUE(from_a == a);
  EXPECT_TRUE(from_b == b);
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// A client that stops reading holds everyone back without being dropped;
// when it goes, the others get everything.
TEST(RawHub, StalledClientBlocksOthersUntilItLeaves) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "3"}));
  std::vector<tcp_client> clients;
  ASSERT_TRUE(connect_raw_clients(relay.port, 2, clients));
  tcp_client stalled;
  ASSERT_TRUE(stalled.connect(relay.port, 4096));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  tcp_client &sender = clients[0];
  tcp_client &reader = clients[1];

  const std::string data = byte_pattern(4 << 20, 7);
  std::atomic<bool> sent{false};
  std::thread send([&] { sent = sender.send_all(data.data(), data.size()); });
  std::string received;
  // Far less than the whole stream gets through while the stalled client's
  // buffers are full.
  received = reader.recv_some(2000, 3000);
  EXPECT_LT(received.size(), data.size());
  EXPECT_FALSE(sent.load());
  EXPECT_EQ(relay.output().find(".fin"), std::string::npos) << "a client was dropped";

  stalled.reset();
  received += reader.recv_exact(data.size() - received.size(), 60000);
  send.join();
  EXPECT_TRUE(sent.load());
  EXPECT_TRUE(received == data);
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// A client that resets ends its own connection only.
TEST(RawHub, ResetEndsOnlyThatConnection) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "3"}));
  std::vector<tcp_client> clients;
  ASSERT_TRUE(connect_raw_clients(relay.port, 3, clients));
  clients[2].reset();
  ASSERT_TRUE(relay.wait_output(".fin", 5000));
  ASSERT_TRUE(clients[0].send_text("still here\n"));
  EXPECT_EQ(clients[1].recv_exact(11, 5000), "still here\n");
  const std::string out = relay.output();
  EXPECT_EQ(out.find("!! recv"), std::string::npos) << out;
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// The console lines of one connection's life, byte for byte where the
// values are known.
TEST(RawHub, ConsoleLinesOfOneConnection) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "2"}));
  const std::string start = relay.output();
  EXPECT_NE(start.find(":: bind(0.0.0.0:" + std::to_string(relay.port) +
                       ")  RAW WS  max connections: 2\n:: waiting for client connection...\n\n"),
            std::string::npos)
      << start;
  {
    tcp_client client;
    ASSERT_TRUE(client.connect(relay.port));
    ASSERT_TRUE(relay.wait_output("RAW\n", 5000));
    client.close();
    ASSERT_TRUE(relay.wait_output(".fin", 5000));
  }
  const std::string out = relay.output();
  // Whichever slot's reader the system handed the connection to.
  const size_t syn = out.find("\r:: SYN from 127.0.0.1:");
  ASSERT_NE(syn, std::string::npos) << out;
  const size_t slot = out.find("  :: server_", syn);
  ASSERT_NE(slot, std::string::npos) << out;
  const std::string server = out.substr(slot + 5, 9);
  const size_t so = out.find("  so ", slot);
  const std::string number = out.substr(so + 5, out.find(' ', so + 5) - (so + 5));
  EXPECT_EQ(out.substr(slot, so - slot), "  :: " + server + ".working  active 01/02") << out;
  EXPECT_NE(out.find("  so " + number + "  RAW\n:: " + server + ".fin  active 00/02  so " + number + "\n", slot),
            std::string::npos)
      << out;
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// A port in use: the bind failure is reported, every thread ends without a
// forced stop, and the exit code is WSAEADDRINUSE (its low 8 bits here).
TEST(RawHub, PortInUseEndsCleanly) {
  relay_process first;
  ASSERT_TRUE(first.start_listening({"-c", "4"}));
  relay_process second;
  ASSERT_TRUE(second.start({"-c", "4", "-p", std::to_string(first.port)}));
  EXPECT_EQ(second.wait_exit(10000), 10048 & 0xFF);
  const std::string out = second.output();
  EXPECT_NE(out.find(":: bind(0.0.0.0:" + std::to_string(first.port) +
                     ")  \nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))\n   ^ERROR: 10048, "),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("terminate"), std::string::npos) << out;
  EXPECT_EQ(first.stop(SIGTERM, 10000), 0);
}

// SIGTERM and SIGINT stop a relay with connected clients promptly, with exit
// code 0, after the pool's clean-up.
TEST(RawHub, SignalsStopWithClientsConnected) {
  for (int signal : {SIGTERM, SIGINT}) {
    relay_process relay;
    ASSERT_TRUE(relay.start_listening({"-c", "4"}));
    std::vector<tcp_client> clients;
    ASSERT_TRUE(connect_raw_clients(relay.port, 3, clients));
    EXPECT_EQ(relay.stop(signal, 5000), 0) << relay.output();
    for (auto &client : clients)
      EXPECT_TRUE(client.wait_closed(2000));
    EXPECT_EQ(relay.output().find("terminate"), std::string::npos);
  }
}

// Connections that come and go while payloads flow never receive bytes meant
// for another connection: every receiver sees one contiguous slice of the
// sender's stream.
TEST(RawHub, ChurningConnectionsGetOnlyTheirOwnPayloads) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "12", "-L", "1024"}));
  std::vector<tcp_client> sender;
  ASSERT_TRUE(connect_raw_clients(relay.port, 1, sender));

  std::atomic<bool> done{false};
  std::thread source([&] {
    std::string chunk(4096, '\0');
    uint64_t at = 0;
    while (!done) {
      for (char &ch : chunk)
        ch = record_stream_byte(at++);
      if (!sender[0].send_all(chunk.data(), chunk.size()))
        break;
    }
  });

  std::atomic<int> failures{0};
  std::atomic<int> checked{0};
  std::vector<std::thread> churners;
  for (int c = 0; c < 10; ++c) {
    churners.emplace_back([&, c] {
      for (int round = 0; round < 4; ++round) {
        tcp_client client;
        if (!client.connect(relay.port)) {
          ++failures;
          return;
        }
        const std::string got = client.recv_some(3000, 200);
        // Align on the first record end, then every record must follow the one before.
        size_t at = got.find('\n');
        long previous = -1;
        while (at != std::string::npos && at + 8 < got.size()) {
          long value = std::stol(got.substr(at + 1, 7));
          if ((previous >= 0 && value != previous + 1) || got[at + 8] != '\n') {
            ++failures;
            break;
          }
          previous = value;
          at += 8;
        }
        if (previous >= 0)
          ++checked;
        if ((round + c) % 2 == 0)
          client.reset();
      }
    });
  }
  for (auto &t : churners)
    t.join();
  done = true;
  ::shutdown(sender[0].fd, SHUT_RDWR);
  source.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(checked.load(), 20);
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

} // namespace
