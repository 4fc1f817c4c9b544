// Every protocol pair relays through one hub: raw, TLS, WebSocket and the
// older draft-76 WebSocket, plain and over TLS, each to each.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <thread>

#include "support/certificate.h"
#include "support/hub_clients.h"
#include "support/hub_peer.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

const peer_kind ALL_KINDS[] = {peer_kind::raw, peer_kind::tls,  peer_kind::ws,
                               peer_kind::wss, peer_kind::ws76, peer_kind::wss76};

struct payload_case {
  const char *name;
  std::string data;
};

void PrintTo(const payload_case &c, std::ostream *os) {
  *os << c.name;
}

std::string bytes(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i)
    s[i] = static_cast<char>('a' + i % 26);
  return s;
}

class EveryPair : public ::testing::TestWithParam<payload_case> {
protected:
  void SetUp() override {
    ASSERT_TRUE(write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem));
    ASSERT_TRUE(relay.start_listening({"-c", "8", "-L", "70000"}, dir.path));
    ASSERT_NE(relay.output().find("RAW TLS WS WSS  max connections: 8"), std::string::npos) << relay.output();
    for (peer_kind kind : ALL_KINDS) {
      peers.push_back(std::make_unique<hub_peer>(kind));
      ASSERT_TRUE(peers.back()->open(relay.port)) << peer_name(kind) << ": " << peers.back()->error;
    }
    // Silent raw and TLS clients are set up only after the detection time-outs.
    std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  }
  void TearDown() override {
    peers.clear();
    EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
  }

  temp_dir dir;
  relay_process relay;
  std::vector<std::unique_ptr<hub_peer>> peers;
};

TEST_P(EveryPair, PayloadArrivesUnchanged) {
  const payload_case &c = GetParam();
  for (auto &sender : peers) {
    ASSERT_TRUE(sender->send(c.data)) << peer_name(sender->kind);
    for (auto &receiver : peers) {
      if (receiver == sender)
        continue;
      EXPECT_EQ(receiver->recv_bytes(c.data.size(), 10000), c.data)
          << peer_name(sender->kind) << " -> " << peer_name(receiver->kind);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Payloads, EveryPair,
                         ::testing::Values(payload_case{"short_text", "hello, hub"},
                                           payload_case{"long_text", bytes(3000)},
                                           payload_case{"sixty_four_kib", bytes(65536)}),
                         [](const testing::TestParamInfo<payload_case> &p) { return std::string(p.param.name); });

} // namespace

namespace {

// With the default packet length, a raw client's stream arrives whole at
// WebSocket clients too, though each chunk gets a frame header in front.
TEST(Framing, RawStreamReachesWebSocketClientsWhole) {
  temp_dir dir;
  ASSERT_TRUE(write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem));
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "4"}, dir.path));
  hub_peer sender(peer_kind::raw);
  ASSERT_TRUE(sender.open(relay.port));
  std::vector<std::unique_ptr<hub_peer>> receivers;
  for (peer_kind kind : {peer_kind::ws, peer_kind::wss, peer_kind::ws76}) {
    receivers.push_back(std::make_unique<hub_peer>(kind));
    ASSERT_TRUE(receivers.back()->open(relay.port)) << receivers.back()->error;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  const std::string stream = bytes(1 << 20);
  std::thread source([&] { sender.send(stream); });
  // Every receiver reads at once: one that does not read holds the others back.
  std::vector<std::string> received(receivers.size());
  std::vector<std::thread> readers;
  for (size_t i = 0; i < receivers.size(); ++i)
    readers.emplace_back([&, i] { received[i] = receivers[i]->recv_bytes(stream.size(), 30000); });
  for (auto &t : readers)
    t.join();
  source.join();
  for (size_t i = 0; i < receivers.size(); ++i)
    EXPECT_TRUE(received[i] == stream) << peer_name(receivers[i]->kind) << ": " << received[i].size() << " bytes";
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

} // namespace

namespace {

struct older_case {
  const char *name;
  peer_kind kind;
  size_t size;
};

void PrintTo(const older_case &c, std::ostream *os) {
  *os << c.name;
}

// The most the relay was resident at once, from /proc; 0 when unknown.
long resident_peak_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::stol(line.substr(6));
  }
  return 0;
}

constexpr size_t LARGE_MESSAGE = 16 << 20;

class Draft76 : public ::testing::TestWithParam<older_case> {};

// The older framing has no lengths: a message far longer than a receive
// still goes each way as one message, with characters cut between receives,
// and passes as it arrives: the relay never holds a whole one.
TEST_P(Draft76, LargeMessagesGoWholeBothWaysAsTheyArrive) {
  const older_case &c = GetParam();
  temp_dir dir;
  ASSERT_TRUE(write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem));
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "3"}, dir.path));
  hub_peer older(c.kind);
  hub_peer newer(peer_kind::ws);
  ASSERT_TRUE(older.open(relay.port)) << older.error;
  ASSERT_TRUE(newer.open(relay.port)) << newer.error;
  std::string text;
  while (text.size() < c.size)
    text += "abc\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const long peak_before = resident_peak_kb(relay.pid);

  std::thread to_older([&] { newer.send(text); });
  EXPECT_TRUE(older.recv_raw(text.size() + 2, 60000) == '\0' + text + '\xFF');
  to_older.join();

  std::thread to_newer([&] { older.send(text); });
  std::string received;
  uint8_t first = 0;
  std::string payload;
  for (int frames = 0; newer.recv_frame(first, payload, 60000); ++frames) {
    EXPECT_EQ(first & 0x0F, frames == 0 ? 1 : 0);
    received += payload;
    if ((first & 0x80) != 0)
      break;
  }
  to_newer.join();
  EXPECT_TRUE(received == text) << received.size() << " bytes";
  EXPECT_NE(first & 0x80, 0);
  // Sanitizer builds add a few MiB of their own: only a message far larger
  // than that shows whether the relay held it.
  const long grown_kb = resident_peak_kb(relay.pid) - peak_before;
  if (c.size >= LARGE_MESSAGE) {
    EXPECT_LT(grown_kb, static_cast<long>(c.size / 1024 / 2)) << "the relay's peak grew by " << grown_kb << " KiB";
  }
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// The older framing carries text only: a binary payload, whose 0xFF would
// end its message early, never reaches an older-framing client, which gets
// the next text whole; other clients get both.
TEST(Draft76Framing, BinaryPayloadsPassOlderFramingClientsBy) {
  temp_dir dir;
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "4"}, dir.path));
  hub_peer raw(peer_kind::raw);
  hub_peer older(peer_kind::ws76);
  hub_peer newer(peer_kind::ws);
  ASSERT_TRUE(raw.open(relay.port)) << raw.error;
  ASSERT_TRUE(older.open(relay.port)) << older.error;
  ASSERT_TRUE(newer.open(relay.port)) << newer.error;
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  const std::string binary = "\xFF\x00bin\xFF";
  ASSERT_TRUE(raw.send(binary));
  uint8_t first = 0;
  std::string payload;
  ASSERT_TRUE(newer.recv_frame(first, payload, 10000));
  EXPECT_EQ(first, 0x82);
  EXPECT_EQ(payload, binary);
  ASSERT_TRUE(newer.send(binary, true));
  EXPECT_EQ(raw.recv_bytes(binary.size(), 10000), binary);
  ASSERT_TRUE(raw.send("text"));
  EXPECT_EQ(older.recv_raw(6, 10000), std::string("\0text\xFF", 6));
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Draft76,
                         ::testing::Values(older_case{"plain_1_mib", peer_kind::ws76, 1 << 20},
                                           older_case{"plain_16_mib", peer_kind::ws76, LARGE_MESSAGE},
                                           older_case{"tls_1_mib", peer_kind::wss76, 1 << 20},
                                           older_case{"tls_16_mib", peer_kind::wss76, LARGE_MESSAGE}),
                         [](const testing::TestParamInfo<older_case> &p) { return std::string(p.param.name); });

} // namespace
