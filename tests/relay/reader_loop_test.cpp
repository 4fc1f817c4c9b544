// What a WebSocket sender's reader does with frames it must refuse and with
// messages that their sender leaves unfinished, seen from real clients of
// the real relay.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/certificate.h"
#include "support/hub_clients.h"
#include "support/hub_peer.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

const uint8_t KEY[4] = {0x11, 0x22, 0x33, 0x44};

// A masked frame whose first byte is given whole, RSV bits included.
std::string masked_frame(uint8_t first, const std::string &payload) {
  std::string f{static_cast<char>(first), static_cast<char>(0x80 | payload.size())};
  f.append(reinterpret_cast<const char *>(KEY), 4);
  for (size_t i = 0; i < payload.size(); ++i)
    f.push_back(static_cast<char>(payload[i] ^ KEY[i % 4]));
  return f;
}

std::string close_frame(uint16_t code) {
  return {'\x88', '\x02', static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// A relay with a raw and a WebSocket receiver; each test's sender comes and
// goes, and a marker message from a well-behaved client shows what reached
// the receivers before it.
class ReaderLoop : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem));
    ASSERT_TRUE(relay.start_listening({"-c", "5"}, dir.path));
    ASSERT_TRUE(raw.open(relay.port)) << raw.error;
    ASSERT_TRUE(ws.open(relay.port)) << ws.error;
    std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  }
  void TearDown() override { EXPECT_EQ(relay.stop(SIGTERM, 10000), 0); }

  // The WebSocket receiver's next message: its frames' payloads up to FIN,
  // and the first frame's opcode.
  bool next_message(uint8_t &opcode, std::string &data) {
    data.clear();
    uint8_t first = 0;
    std::string payload;
    for (bool start = true;; start = false) {
      if (!ws.recv_frame(first, payload, 10000))
        return false;
      if (start)
        opcode = first & 0x0F;
      data += payload;
      if ((first & 0x80) != 0)
        return true;
    }
  }

  // Sends a marker from a fresh client and checks that each receiver gets
  // exactly `before` and then the marker.
  void expect_before_marker(const std::string &before, uint8_t before_type) {
    hub_peer marker_sender(peer_kind::ws);
    ASSERT_TRUE(marker_sender.open(relay.port)) << marker_sender.error;
    const std::string marker = "marker";
    ASSERT_TRUE(marker_sender.send(marker));
    EXPECT_EQ(raw.recv_bytes(before.size() + marker.size(), 10000), before + marker);
    uint8_t opcode = 0;
    std::string data;
    if (!before.empty()) {
      ASSERT_TRUE(next_message(opcode, data));
      EXPECT_EQ(opcode, before_type);
      EXPECT_EQ(data, before);
    }
    ASSERT_TRUE(next_message(opcode, data));
    EXPECT_EQ(opcode, 1);
    EXPECT_EQ(data, marker);
  }

  temp_dir dir;
  relay_process relay;
  hub_peer raw{peer_kind::raw};
  hub_peer ws{peer_kind::ws};
};

struct burst_message {
  uint8_t type;
  std::string data;
};

struct burst {
  std::string frames;
  std::vector<burst_message> messages;
};

// Small messages of both types, some fragmented: receives full of frames,
// more pieces than a reader gathers at a time.
burst small_messages() {
  burst b;
  for (int i = 0; i < 3000; ++i) {
    const uint8_t type = i % 3 == 0 ? 2 : 1;
    const size_t size = i % 50 == 0 ? 120 : static_cast<size_t>(i % 11);
    std::string data;
    for (size_t k = 0; k < size; ++k)
      data.push_back(static_cast<char>('a' + (i + k) % 26));
    if (i % 7 == 0 && size >= 2) {
      b.frames += masked_frame(type, data.substr(0, 1)) + masked_frame(0x00, data.substr(1, 1)) +
                  masked_frame(0x80, data.substr(2));
    } else {
      b.frames += masked_frame(static_cast<uint8_t>(0x80 | type), data);
    }
    b.messages.push_back({type, data});
  }
  return b;
}

// Older-framing messages just over the 7-bit length: their frames for an
// RFC 6455 client are longer than they came, so one receive's worth takes
// more than a send half.
burst older_messages() {
  burst b;
  for (int i = 0; i < 1000; ++i) {
    const std::string data(126 + i % 8, static_cast<char>('A' + i % 26));
    b.frames += '\x00' + data + '\xFF';
    b.messages.push_back({1, data});
  }
  return b;
}

struct burst_case {
  const char *name;
  peer_kind sender;
  burst (*make)();
};

class Burst : public ReaderLoop, public testing::WithParamInterface<burst_case> {};

// Many messages sent at once: every receiver gets every message, whole, in
// order, in its type.
TEST_P(Burst, ArrivesWholeInOrder) {
  const burst b = GetParam().make();
  hub_peer sender(GetParam().sender);
  ASSERT_TRUE(sender.open(relay.port)) << sender.error;
  ASSERT_EQ(::send(sender.fd, b.frames.data(), b.frames.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.frames.size()));

  std::string stream;
  for (const burst_message &m : b.messages)
    stream += m.data;
  EXPECT_EQ(raw.recv_bytes(stream.size(), 10000), stream);
  for (size_t i = 0; i < b.messages.size(); ++i) {
    uint8_t opcode = 0;
    std::string data;
    ASSERT_TRUE(next_message(opcode, data)) << "message " << i;
    ASSERT_EQ(opcode, b.messages[i].type) << "message " << i;
    ASSERT_EQ(data, b.messages[i].data) << "message " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Burst,
                         testing::Values(burst_case{"small_messages", peer_kind::ws, small_messages},
                                         burst_case{"older_framing", peer_kind::ws76, older_messages}),
                         [](const testing::TestParamInfo<burst_case> &p) { return std::string(p.param.name); });

struct refused_case {
  const char *name;
  std::string frames;
  uint16_t code;
  // What went out, as the start of a text message, before the refused frame.
  std::string before;
};

class RefusedFrame : public ReaderLoop, public testing::WithParamInterface<refused_case> {};

// The sender gets a close frame with the code, and no byte of the refused
// frame reaches anyone; a message it had started ends cleanly.
TEST_P(RefusedFrame, SenderClosedWithItsCodeAndNothingPassesOn) {
  const refused_case &c = GetParam();
  hub_peer sender(peer_kind::ws);
  ASSERT_TRUE(sender.open(relay.port)) << sender.error;
  ASSERT_EQ(::send(sender.fd, c.frames.data(), c.frames.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.frames.size()));
  EXPECT_EQ(sender.recv_raw(4, 10000), close_frame(c.code));
  EXPECT_TRUE(sender.wait_closed(10000));
  expect_before_marker(c.before, 1);
}

const std::string FIRST_PART = masked_frame(0x01, "ab");

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedFrame,
    testing::Values(refused_case{"unmasked", {'\x81', '\x02', 'h', 'i'}, 1002, ""},
                    refused_case{"rsv1", masked_frame(0xC1, "hi"), 1002, ""},
                    refused_case{"rsv2", masked_frame(0xA1, "hi"), 1002, ""},
                    refused_case{"rsv3", masked_frame(0x91, "hi"), 1002, ""},
                    refused_case{"reserved_data_opcode", masked_frame(0x83, "hi"), 1002, ""},
                    refused_case{"reserved_control_opcode", masked_frame(0x8B, ""), 1002, ""},
                    refused_case{"fragmented_ping", masked_frame(0x09, ""), 1002, ""},
                    refused_case{"control_payload_over_125", masked_frame(0x89, std::string(126, 'p')), 1002, ""},
                    refused_case{"continuation_without_start", masked_frame(0x80, "hi"), 1002, ""},
                    refused_case{"new_message_inside_fragmented", FIRST_PART + masked_frame(0x82, "cd"), 1002, "ab"},
                    refused_case{"invalid_text", masked_frame(0x81, "a\xC0\x80"), 1007, ""},
                    refused_case{"text_ends_inside_a_character", masked_frame(0x81, "a\xE2\x82"), 1007, ""},
                    refused_case{"invalid_text_in_later_fragment", FIRST_PART + masked_frame(0x80, "c\xFF"), 1007,
                                 "ab"}),
    [](const testing::TestParamInfo<refused_case> &p) { return std::string(p.param.name); });

struct cut_short_case {
  const char *name;
  // The sender's bytes before it goes away; the binary message they start.
  std::string frames;
  std::string started;
};

class CutShort : public ReaderLoop, public testing::WithParamInterface<cut_short_case> {};

// A sender that goes away inside a message leaves its receivers with what
// it sent, ended cleanly, and free for the next message.
TEST_P(CutShort, ReceiversSeeTheMessageEnd) {
  const cut_short_case &c = GetParam();
  hub_peer sender(peer_kind::ws);
  ASSERT_TRUE(sender.open(relay.port)) << sender.error;
  ASSERT_EQ(::send(sender.fd, c.frames.data(), c.frames.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.frames.size()));
  EXPECT_EQ(raw.recv_bytes(c.started.size(), 10000), c.started);
  sender.close();
  uint8_t opcode = 0;
  std::string data;
  ASSERT_TRUE(next_message(opcode, data));
  EXPECT_EQ(opcode, 2);
  EXPECT_EQ(data, c.started);
  expect_before_marker("", 0);
}

// The start of one frame longer than the receive buffer, masked.
std::string long_frame_start(uint64_t length, const std::string &payload) {
  std::string f{'\x82', static_cast<char>(0x80 | 127)};
  for (int i = 7; i >= 0; --i)
    f.push_back(static_cast<char>(length >> (8 * i)));
  f.append(reinterpret_cast<const char *>(KEY), 4);
  for (size_t i = 0; i < payload.size(); ++i)
    f.push_back(static_cast<char>(payload[i] ^ KEY[i % 4]));
  return f;
}

INSTANTIATE_TEST_SUITE_P(Table, CutShort,
                         testing::Values(cut_short_case{"after_a_first_fragment", masked_frame(0x02, "part"), "part"},
                                         cut_short_case{"inside_a_long_frame",
                                                        long_frame_start(1 << 20, std::string(20000, 'L')),
                                                        std::string(20000, 'L')}),
                         [](const testing::TestParamInfo<cut_short_case> &p) { return std::string(p.param.name); });

// The relay's socket for the client whose local end is `client_fd`, taken
// from the relay process; -1 when the system does not let us.
int relay_socket_of(pid_t pid, int client_fd) {
  sockaddr_in client{};
  socklen_t size = sizeof(client);
  if (getsockname(client_fd, reinterpret_cast<sockaddr *>(&client), &size) != 0)
    return -1;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0)
    return -1;
  int found = -1;
  DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (fds != nullptr && found < 0) {
    const dirent *entry = readdir(fds);
    if (entry == nullptr)
      break;
    const int theirs = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.')
      continue;
    const int ours = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, theirs, 0));
    if (ours < 0)
      continue;
    sockaddr_in peer{};
    socklen_t peer_size = sizeof(peer);
    if (getpeername(ours, reinterpret_cast<sockaddr *>(&peer), &peer_size) == 0 && peer.sin_port == client.sin_port)
      found = ours;
    else
      ::close(ours);
  }
  if (fds != nullptr)
    closedir(fds);
  ::close(pidfd);
  return found;
}

long receive_timeout_ms(int fd) {
  timeval limit{};
  socklen_t size = sizeof(limit);
  if (getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, &size) != 0)
    return -1;
  return limit.tv_sec * 1000 + limit.tv_usec / 1000;
}

// The reader sets its time-out after it has relayed what it received, so a
// receiver may see the bytes first: the value is read until it is in
// [low, high] or 10 s have passed, and the last one read is returned.
long settled_timeout_ms(int fd, long low, long high) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  long value = receive_timeout_ms(fd);
  while ((value < low || value > high) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    value = receive_timeout_ms(fd);
  }
  return value;
}

// A sender holds its receivers for a message in progress, so its receive has
// the stall limit, counted from the message's last piece, for that long only:
// a sender that stalls inside a message is closed (1008) after 60 s, which is
// measured outside the tests.
TEST_F(ReaderLoop, ReceiveLimitOnlyWhileAMessageIsInProgress) {
  hub_peer sender(peer_kind::ws);
  ASSERT_TRUE(sender.open(relay.port)) << sender.error;
  const int theirs = relay_socket_of(relay.pid, sender.fd);
  if (theirs < 0)
    GTEST_SKIP() << "the relay's socket cannot be taken here (pidfd_getfd): " << errno;
  EXPECT_EQ(receive_timeout_ms(theirs), 0);
  ASSERT_TRUE(sender.send_frame(0x02, false, "start"));
  EXPECT_EQ(raw.recv_bytes(5, 10000), "start");
  EXPECT_EQ(settled_timeout_ms(theirs, 60000, 60000), 60000);
  // A ping takes the message no further: the limit keeps counting from the
  // last piece, as clients that ping while idle would otherwise hold on.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(sender.send_frame(0x09, true, "p"));
  uint8_t first = 0;
  std::string pong;
  ASSERT_TRUE(sender.recv_frame(first, pong, 10000));
  EXPECT_EQ(first, 0x8A);
  const long after_ping = settled_timeout_ms(theirs, 1, 59999);
  EXPECT_GT(after_ping, 0);
  EXPECT_LT(after_ping, 60000);
  ASSERT_TRUE(sender.send_frame(0x00, false, "more"));
  EXPECT_EQ(raw.recv_bytes(4, 10000), "more");
  EXPECT_EQ(settled_timeout_ms(theirs, 60000, 60000), 60000);
  ASSERT_TRUE(sender.send_frame(0x00, true, "end"));
  EXPECT_EQ(raw.recv_bytes(3, 10000), "end");
  EXPECT_EQ(settled_timeout_ms(theirs, 0, 0), 0);
  ::close(theirs);
}

// Once another sender waits for one of its receivers, the stall limit of a
// message in progress counts from its start: a piece no longer gives it the
// whole limit again, so a sender that drips a long message holds the others
// for SEND_STALL_MS at most.
TEST_F(ReaderLoop, ReceiveLimitCountsFromTheStartOnceAnotherSenderWaits) {
  hub_peer sender(peer_kind::ws);
  hub_peer other(peer_kind::ws);
  ASSERT_TRUE(sender.open(relay.port)) << sender.error;
  ASSERT_TRUE(other.open(relay.port)) << other.error;
  const int theirs = relay_socket_of(relay.pid, sender.fd);
  if (theirs < 0)
    GTEST_SKIP() << "the relay's socket cannot be taken here (pidfd_getfd): " << errno;
  ASSERT_TRUE(sender.send_frame(0x02, false, "start"));
  EXPECT_EQ(raw.recv_bytes(5, 10000), "start");
  EXPECT_EQ(settled_timeout_ms(theirs, 60000, 60000), 60000);
  ASSERT_TRUE(other.send("waits"));
  // The other sender's reader counts itself a waiter before it blocks; give
  // it the time to get there.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(sender.send_frame(0x00, false, "more"));
  EXPECT_EQ(raw.recv_bytes(4, 10000), "more");
  const long contended = settled_timeout_ms(theirs, 1, 59800);
  EXPECT_GT(contended, 0);
  EXPECT_LE(contended, 59800);
  ASSERT_TRUE(sender.send_frame(0x00, true, "end"));
  EXPECT_EQ(raw.recv_bytes(3, 10000), "end");
  EXPECT_EQ(raw.recv_bytes(5, 10000), "waits");
  EXPECT_EQ(settled_timeout_ms(theirs, 0, 0), 0);
  ::close(theirs);
}

} // namespace
