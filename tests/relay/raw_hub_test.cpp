// The relay with raw TCP clients: broadcast, order and integrity, flow
// control, resets, console lines, shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/socket.h>
#include <thread>

#include "support/byte_pattern.h"
#include "support/hub_clients.h"
#include "support/hub_peer.h"
#include "support/relay_process.h"
#include "support/tcp_client.h"

namespace {

using namespace std::chrono_literals;

// A relay with `slots` slots and `count` raw clients that it has set up.
template <class Base> class raw_hub : public Base {
protected:
  bool start(int slots, int count, const std::vector<std::string> &extra = {}) {
    std::vector<std::string> args{"-c", std::to_string(slots)};
    args.insert(args.end(), extra.begin(), extra.end());
    return relay.start_listening(args) && (count == 0 || connect_raw_clients(relay.port, count, clients));
  }
  int stop() { return relay.stop(SIGTERM, 10000); }

  relay_process relay;
  std::vector<tcp_client> clients;
};

using RawHub = raw_hub<::testing::Test>;

// Each sender's records are its tag, a 7-digit counter and a newline, so a
// record cut by another sender's bytes no longer parses.
constexpr size_t RECORD_SIZE = 9;

std::string tagged_records(char tag, uint32_t first, uint32_t count) {
  std::string records;
  char record[RECORD_SIZE + 1];
  for (uint32_t i = first; i < first + count; ++i) {
    snprintf(record, sizeof(record), "%c%07u\n", tag, i);
    records.append(record, RECORD_SIZE);
  }
  return records;
}

// Reads `stream` as whole records; "" when every sender in `counts` sent its
// records 0 to count - 1 in order and nothing else came, else the first fault.
std::string check_tagged_records(const std::string &stream, const std::map<char, uint32_t> &counts) {
  std::map<char, uint32_t> next;
  for (size_t at = 0; at < stream.size(); at += RECORD_SIZE) {
    const std::string record = stream.substr(at, RECORD_SIZE);
    const bool digits = record.size() == RECORD_SIZE &&
                        std::all_of(record.begin() + 1, record.end() - 1, [](char ch) { return isdigit(ch) != 0; });
    if (!digits || !counts.contains(record[0]) || record.back() != '\n')
      return "a broken record at byte " + std::to_string(at);
    const uint32_t number = static_cast<uint32_t>(std::stoul(record.substr(1, 7)));
    if (number != next[record[0]])
      return std::string("record ") + record[0] + std::to_string(number) + " where " + std::to_string(next[record[0]]) +
             " was due, at byte " + std::to_string(at);
    ++next[record[0]];
  }
  for (const auto &[tag, count] : counts)
    if (next[tag] != count)
      return std::string("sender ") + tag + " stopped after " + std::to_string(next[tag]) + " records";
  return "";
}

// The check itself: an interleaving of whole records passes; a record cut by
// another's, a lost, a doubled or a swapped record fails.
TEST(TaggedRecords, CheckFindsSplicesAndGaps) {
  const std::string a = tagged_records('A', 0, 3);
  const std::string b = tagged_records('B', 0, 2);
  const struct {
    const char *name;
    std::string stream;
    bool whole;
  } cases[] = {
      {"interleaved_whole", a.substr(0, 9) + b.substr(0, 9) + a.substr(9) + b.substr(9), true},
      {"spliced", a.substr(0, 13) + b + a.substr(13), false},
      {"lost", a.substr(0, 9) + a.substr(18) + b, false},
      {"doubled", a + a.substr(18) + b, false},
      {"swapped", a.substr(9, 9) + a.substr(0, 9) + a.substr(18) + b, false},
      {"cut_short", a + b.substr(0, 13), false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(check_tagged_records(c.stream, {{'A', 3}, {'B', 2}}).empty(), c.whole) << c.name;
}

struct broadcast_case {
  int slots;
  int clients;
};

void PrintTo(const broadcast_case &c, std::ostream *os) {
  *os << c.clients << " of " << c.slots;
}

class RawBroadcast : public raw_hub<::testing::TestWithParam<broadcast_case>> {};

// Every client's line reaches every other client, never its sender.
TEST_P(RawBroadcast, EveryLineReachesEveryOtherClient) {
  const broadcast_case c = GetParam();
  ASSERT_TRUE(start(c.slots, c.clients));

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
  EXPECT_EQ(stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RawBroadcast,
                         ::testing::Values(broadcast_case{2, 2}, broadcast_case{8, 5}, broadcast_case{32, 32}),
                         [](const testing::TestParamInfo<broadcast_case> &p) {
                           return std::to_string(p.param.clients) + "_of_" + std::to_string(p.param.slots);
                         });

// A client beyond the slot count waits in the backlog and is served once a
// slot frees.
TEST_F(RawHub, ClientBeyondTheSlotsWaitsUntilOneLeaves) {
  ASSERT_TRUE(start(2, 3));
  ASSERT_TRUE(clients[0].send_text("first\n"));
  EXPECT_EQ(clients[1].recv_exact(6, 5000), "first\n");
  EXPECT_EQ(clients[2].recv_some(300), "") << "the third client was served without a slot";

  clients[0].close();
  ASSERT_TRUE(relay.wait_output(":: SYN from", 5000, 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  ASSERT_TRUE(clients[1].send_text("second\n"));
  EXPECT_EQ(clients[2].recv_exact(7, 5000), "second\n");
  EXPECT_EQ(stop(), 0);
}

// A large stream arrives whole and in order, in both directions at once.
TEST_F(RawHub, LargeStreamsArriveWholeAndInOrder) {
  ASSERT_TRUE(start(4, 2));

  const std::string a_to_b = byte_pattern<std::string>(1, 8 << 20);
  const std::string b_to_a = byte_pattern<std::string>(2, 8 << 20);
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
  EXPECT_EQ(stop(), 0);
}

// Two raw senders to one target at once: each sender's records arrive
// complete, in order and whole within its own stream. B's bytes have the high
// bit set to tell them apart, since TCP may end a read inside a record.
TEST_F(RawHub, TwoSendersToOneTargetKeepTheirOrder) {
  ASSERT_TRUE(start(3, 3));
  const uint32_t count = 233000;
  const std::string a = tagged_records('A', 0, count);
  std::string b = tagged_records('B', 0, count);
  for (char &ch : b)
    ch = static_cast<char>(ch | 0x80);
  const size_t size = a.size();
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
  for (char ch : target) {
    if (static_cast<uint8_t>(ch) < 0x80)
      from_a.push_back(ch);
    else
      from_b.push_back(static_cast<char>(ch & 0x7F));
  }
  EXPECT_EQ(check_tagged_records(from_a, {{'A', count}}), "");
  EXPECT_EQ(check_tagged_records(from_b, {{'B', count}}), "");
  EXPECT_EQ(stop(), 0);
}

// Two WebSocket senders to one raw target at once. A message is one payload
// and a payload is delivered whole, never interleaved with another, so every
// record arrives whole and each sender's records complete and in order.
TEST_F(RawHub, TwoMessageSendersToOneTargetKeepRecordsWhole) {
  ASSERT_TRUE(start(3, 0));
  hub_peer a(peer_kind::ws);
  hub_peer b(peer_kind::ws);
  ASSERT_TRUE(a.open(relay.port)) << a.error;
  ASSERT_TRUE(b.open(relay.port)) << b.error;
  ASSERT_TRUE(connect_raw_clients(relay.port, 1, clients));
  const uint32_t per_message = 64;
  const uint32_t messages = 2048;
  const uint32_t count = per_message * messages;
  const size_t size = size_t{count} * RECORD_SIZE;
  const auto send_records = [&](hub_peer &peer, char tag) {
    for (uint32_t m = 0; m < messages; ++m)
      if (!peer.send(tagged_records(tag, m * per_message, per_message)))
        return;
  };
  std::thread send_a([&] { send_records(a, 'A'); });
  std::thread send_b([&] { send_records(b, 'B'); });
  std::string at_a, at_b;
  std::thread drain_a([&] { at_a = a.recv_bytes(size, 60000); });
  std::thread drain_b([&] { at_b = b.recv_bytes(size, 60000); });
  const std::string target = clients[0].recv_exact(2 * size, 60000);
  send_a.join();
  send_b.join();
  drain_a.join();
  drain_b.join();

  ASSERT_EQ(target.size(), 2 * size);
  EXPECT_EQ(check_tagged_records(target, {{'A', count}, {'B', count}}), "");
  EXPECT_EQ(check_tagged_records(at_a, {{'B', count}}), "");
  EXPECT_EQ(check_tagged_records(at_b, {{'A', count}}), "");
  EXPECT_EQ(stop(), 0);
}

// A client that stops reading holds everyone back without being dropped;
// when it goes, the others get everything.
TEST_F(RawHub, StalledClientBlocksOthersUntilItLeaves) {
  ASSERT_TRUE(start(3, 2));
  tcp_client stalled;
  ASSERT_TRUE(stalled.connect(relay.port, 4096));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  tcp_client &sender = clients[0];
  tcp_client &reader = clients[1];

  const std::string data = byte_pattern<std::string>(7, 4 << 20);
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
  EXPECT_EQ(stop(), 0);
}

// A client that resets ends its own connection only.
TEST_F(RawHub, ResetEndsOnlyThatConnection) {
  ASSERT_TRUE(start(3, 3));
  clients[2].reset();
  ASSERT_TRUE(relay.wait_output(".fin", 5000));
  ASSERT_TRUE(clients[0].send_text("still here\n"));
  EXPECT_EQ(clients[1].recv_exact(11, 5000), "still here\n");
  const std::string out = relay.output();
  EXPECT_EQ(out.find("!! recv"), std::string::npos) << out;
  EXPECT_EQ(stop(), 0);
}

// The console lines of one connection's life, byte for byte where the
// values are known.
TEST_F(RawHub, ConsoleLinesOfOneConnection) {
  ASSERT_TRUE(start(2, 0));
  const std::string opening = relay.output();
  EXPECT_NE(opening.find(":: bind(0.0.0.0:" + std::to_string(relay.port) +
                         ")  RAW WS  max connections: 2\n:: waiting for client connection...\n\n"),
            std::string::npos)
      << opening;
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
  EXPECT_EQ(stop(), 0);
}

// A port in use: the bind failure is reported, every thread ends without a
// forced stop, and the exit code is WSAEADDRINUSE (its low 8 bits here).
TEST_F(RawHub, PortInUseEndsCleanly) {
  ASSERT_TRUE(start(4, 0));
  relay_process second;
  ASSERT_TRUE(second.start({"-c", "4", "-p", std::to_string(relay.port)}));
  EXPECT_EQ(second.wait_exit(10000), 10048 & 0xFF);
  const std::string out = second.output();
  EXPECT_NE(out.find(":: bind(0.0.0.0:" + std::to_string(relay.port) +
                     ")  \nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))\n   ^ERROR: 10048, "),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("terminate"), std::string::npos) << out;
  EXPECT_EQ(stop(), 0);
}

// SIGTERM and SIGINT stop a relay with connected clients promptly, with exit
// code 0, after the pool's clean-up.
class RawHubSignal : public raw_hub<::testing::TestWithParam<int>> {};

TEST_P(RawHubSignal, StopsWithClientsConnected) {
  ASSERT_TRUE(start(4, 3));
  EXPECT_EQ(relay.stop(GetParam(), 5000), 0) << relay.output();
  for (auto &client : clients)
    EXPECT_TRUE(client.wait_closed(2000));
  EXPECT_EQ(relay.output().find("terminate"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, RawHubSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int> &p) {
                           return p.param == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

// Connections that come and go while payloads flow never receive bytes meant
// for another connection: every receiver sees one contiguous slice of the
// sender's stream.
TEST_F(RawHub, ChurningConnectionsGetOnlyTheirOwnPayloads) {
  ASSERT_TRUE(start(12, 1, {"-L", "1024"}));
  tcp_client &sender = clients[0];

  std::atomic<bool> done{false};
  std::thread source([&] {
    std::string chunk(4096, '\0');
    uint64_t at = 0;
    while (!done) {
      for (char &ch : chunk)
        ch = record_stream_byte(at++);
      if (!sender.send_all(chunk.data(), chunk.size()))
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
  ::shutdown(sender.fd, SHUT_RDWR);
  source.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(checked.load(), 20);
  EXPECT_EQ(stop(), 0);
}

} // namespace

namespace {

// Payloads sent while a client is still being detected are not its to get:
// it receives only what is sent once it is set up, and nobody else is held.
TEST_F(RawHub, ClientStillBeingDetectedGetsOnlyLaterPayloads) {
  ASSERT_TRUE(start(4, 2));
  tcp_client newcomer;
  ASSERT_TRUE(newcomer.connect(relay.port));
  ASSERT_TRUE(clients[0].send_text("early\n"));
  EXPECT_EQ(clients[1].recv_exact(6, 5000), "early\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  ASSERT_TRUE(clients[0].send_text("late\n"));
  EXPECT_EQ(newcomer.recv_exact(5, 5000), "late\n");
  EXPECT_EQ(clients[1].recv_exact(5, 5000), "late\n");
  EXPECT_EQ(newcomer.recv_some(200), "");
  EXPECT_EQ(stop(), 0);
}

} // namespace
