#include "websocket/g_ws.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/byte_pattern.h"
#include "support/tcp_client.h"

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t KEY[4] = {0x37, 0xFA, 0x21, 0x3D};

bytes text(const std::string &s) {
  return bytes(s.begin(), s.end());
}

// A frame as a client sends it. `length_form` 0 picks the shortest length
// encoding; 126 or 127 forces the 16- or 64-bit one.
bytes make_frame(uint8_t first, const bytes &payload, bool masked, int length_form = 0) {
  bytes f{first};
  const uint64_t n = payload.size();
  const uint8_t mask_bit = masked ? 0x80 : 0x00;
  if (length_form == 0) {
    length_form = n <= 125 ? 0 : (n <= 0xFFFF ? 126 : 127);
  }
  if (length_form == 0) {
    f.push_back(static_cast<uint8_t>(mask_bit | n));
  } else {
    f.push_back(static_cast<uint8_t>(mask_bit | length_form));
    const int width = length_form == 126 ? 2 : 8;
    for (int i = width - 1; i >= 0; --i) {
      f.push_back(static_cast<uint8_t>(n >> (8 * i)));
    }
  }
  if (masked) {
    f.insert(f.end(), KEY, KEY + 4);
  }
  for (uint64_t i = 0; i < n; ++i) {
    f.push_back(masked ? static_cast<uint8_t>(payload[i] ^ KEY[i % 4]) : payload[i]);
  }
  return f;
}

// The received bytes as the reader holds them: at `offset` into the buffer,
// with one spare byte after them for the NUL.
struct received {
  bytes storage;
  uint64_t offset;
  uint64_t len;

  received(const bytes &data, uint64_t at = 0) : storage(at + data.size() + 1, 0x5A), offset(at), len(data.size()) {
    std::copy(data.begin(), data.end(), storage.begin() + static_cast<int64_t>(offset));
  }
  uint8_t *p() { return storage.data() + offset; }
};

g_ws_t *rfc6455(g_ws_t &ws) {
  ws.version = 13;
  return &ws;
}

TEST(decrypt, masked_text_frame_of_five_bytes) {
  g_ws_t ws;
  rfc6455(ws);
  // The masked "Hello" of RFC 6455.
  received r({0x81, 0x85, 0x37, 0xFA, 0x21, 0x3D, 0x7F, 0x9F, 0x4D, 0x51, 0x58});
  uint8_t *payload = nullptr;
  ASSERT_EQ(ws.decrypt(r.p(), r.len, &payload), 5);
  EXPECT_EQ(payload, r.p() + 6);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(payload), 5), "Hello");
  EXPECT_EQ(r.p()[11], 0);
  EXPECT_EQ(ws.partial, 0);
  EXPECT_EQ(ws.more, 0);
  EXPECT_EQ(ws.skip, 0);
}

// An empty data frame (websocket libraries end fragmented messages with one)
// is not the end of the connection: nothing to relay, and the next frame follows.
TEST(decrypt, empty_data_frame_is_skipped_not_an_end) {
  g_ws_t ws;
  rfc6455(ws);
  received r({0x81, 0x80, 0x01, 0x02, 0x03, 0x04, 0x81, 0x81, 0x00, 0x00, 0x00, 0x00, 'x'});
  uint8_t *payload = nullptr;
  ASSERT_EQ(ws.decrypt(r.p(), r.len, &payload), 0);
  EXPECT_EQ(ws.skip, 1);
  EXPECT_EQ(ws.more, 1);
  EXPECT_EQ(payload, r.p() + 6);
  ASSERT_EQ(ws.decrypt(payload, r.len - 6, &payload), 1);
  EXPECT_EQ(ws.skip, 0);
  EXPECT_EQ(*payload, 'x');
}

struct frame_case {
  uint8_t first;
  uint64_t size;
  bool masked;
  int length_form;
  uint64_t header;
};

class frame_test : public testing::TestWithParam<frame_case> {};

// Every cut of the frame is partial and leaves the bytes alone; the whole
// frame, placed at every alignment, gives the payload unmasked in place.
TEST_P(frame_test, partial_at_every_cut_then_whole) {
  const frame_case &c = GetParam();
  const bytes payload = byte_pattern<bytes>(1, c.size);
  const bytes f = make_frame(c.first, payload, c.masked, c.length_form);
  ASSERT_EQ(f.size(), c.header + c.size);

  for (uint64_t at = 0; at < 8; ++at) {
    g_ws_t ws;
    rfc6455(ws);
    received r(f, at);
    const bytes before = r.storage;
    uint8_t *out = nullptr;
    for (uint64_t cut = 1; cut < f.size(); ++cut) {
      ASSERT_EQ(ws.decrypt(r.p(), cut, &out), static_cast<int64_t>(cut)) << "cut " << cut;
      ASSERT_EQ(ws.partial, 1) << "cut " << cut;
    }
    ASSERT_EQ(r.storage, before) << "a partial frame was changed";

    ASSERT_EQ(ws.decrypt(r.p(), f.size(), &out), static_cast<int64_t>(c.size)) << "at " << at;
    EXPECT_EQ(ws.partial, 0);
    EXPECT_EQ(ws.more, 0);
    EXPECT_EQ(out, r.p() + c.header);
    EXPECT_EQ(bytes(out, out + c.size), payload) << "at " << at;
    EXPECT_EQ(out[c.size], 0);
  }
}

INSTANTIATE_TEST_SUITE_P(decrypt, frame_test,
                         testing::Values(frame_case{0x81, 0, true, 0, 6}, frame_case{0x82, 0, false, 0, 2},
                                         frame_case{0x81, 1, true, 0, 6}, frame_case{0x82, 7, true, 0, 6},
                                         frame_case{0x82, 8, true, 0, 6}, frame_case{0x82, 9, true, 0, 6},
                                         frame_case{0x82, 63, true, 0, 6}, frame_case{0x82, 64, true, 0, 6},
                                         frame_case{0x82, 67, true, 0, 6}, frame_case{0x81, 125, false, 0, 2},
                                         frame_case{0x81, 125, true, 0, 6}, frame_case{0x82, 126, true, 0, 8},
                                         frame_case{0x82, 5, true, 126, 8}, frame_case{0x82, 65535, true, 0, 8},
                                         frame_case{0x82, 65536, true, 0, 14}, frame_case{0x82, 65537, false, 0, 10},
                                         frame_case{0x82, 5, true, 127, 14}),
                         [](const testing::TestParamInfo<frame_case> &p) {
                           const frame_case &c = p.param;
                           return "op" + std::to_string(c.first) + "_size_" + std::to_string(c.size) +
                                  (c.masked ? "_masked" : "_unmasked") + "_form_" + std::to_string(c.length_form);
                         });

// The second frame arrives whole or cut at 1, at half and at n - 1; its
// first byte, overwritten by the first payload's NUL, comes back either way.
TEST(decrypt, two_frames_in_one_buffer) {
  const bytes first = make_frame(0x81, text("Hello"), true);
  const bytes second = make_frame(0x82, text("World!"), true);
  for (const uint64_t cut : {uint64_t{1}, second.size() / 2, second.size() - 1, second.size()}) {
    g_ws_t ws;
    rfc6455(ws);
    bytes data = first;
    data.insert(data.end(), second.begin(), second.begin() + static_cast<int64_t>(cut));
    received r(data);

    uint8_t *payload = nullptr;
    ASSERT_EQ(ws.decrypt(r.p(), r.len, &payload), 5) << cut;
    EXPECT_EQ(ws.more, 1) << cut;
    EXPECT_EQ(ws.saved_byte, 0x82) << cut;
    EXPECT_EQ(r.p()[11], 0) << cut;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(payload)), "Hello");

    uint8_t *next = payload + 5;
    ASSERT_EQ(next, r.p() + first.size());
    const int64_t result = ws.decrypt(next, cut, &payload);
    EXPECT_EQ(next[0], 0x82) << cut;
    EXPECT_EQ(ws.more, 0) << cut;
    if (cut < second.size()) {
      EXPECT_EQ(result, static_cast<int64_t>(cut));
      EXPECT_EQ(ws.partial, 1) << cut;
    } else {
      ASSERT_EQ(result, 6);
      EXPECT_EQ(payload, next + 6);
      EXPECT_EQ(std::string(reinterpret_cast<char *>(payload)), "World!");
    }
  }
}

TEST(decrypt, protocol_errors) {
  struct {
    bytes data;
    int64_t result;
    uint32_t version;
  } cases[] = {
      {{0xC1, 0x00}, -1, 13}, // RSV1
      {{0xA1, 0x00}, -1, 13}, // RSV2
      {{0x91, 0x00}, -1, 13}, // RSV3
      {{0x80, 0x00}, -2, 13}, // continuation with nothing to continue
      {{0x00, 0x00}, -2, 13},
      {{0x83, 0x00}, 0, 13}, // reserved data opcodes
      {{0x87, 0x00}, 0, 13},
      {{0x8B, 0x00}, 0, 13}, // reserved control opcodes
      {{0x8F, 0x00}, 0, 13},
      {{0x08, 0x00}, 0, 13},                         // close without FIN
      {{0x09, 0x00}, 0, 13},                         // ping without FIN
      {{0x0A, 0x00}, 0, 13},                         // pong without FIN
      {{0x89, 0x7E, 0x00, 0x7E}, 0, 13},             // ping longer than 125 bytes
      {{0x8A, 0xFF, 0, 0, 0, 0, 0, 0, 0, 1}, 0, 13}, // pong longer than 125 bytes
      {{0x88, 0x80, 1, 2, 3, 4}, -8, 0},             // close
      {{0x88}, -8, 0},                               // close, first byte only
      {{}, -8, 0},                                   // nothing given
  };
  for (auto &c : cases) {
    g_ws_t ws;
    rfc6455(ws);
    received r(c.data);
    uint8_t *payload = nullptr;
    EXPECT_EQ(ws.decrypt(r.p(), r.len, &payload), c.result) << testing::PrintToString(c.data);
    EXPECT_EQ(ws.version.load(), c.version) << testing::PrintToString(c.data);
    EXPECT_EQ(ws.skip, 0);
  }
}

TEST(decrypt, after_close_nothing_is_decoded_or_framed) {
  g_ws_t ws;
  rfc6455(ws);
  received close({0x88, 0x00});
  uint8_t *payload = nullptr;
  ASSERT_EQ(ws.decrypt(close.p(), close.len, &payload), -8);
  received data(make_frame(0x81, text("late"), true));
  EXPECT_EQ(ws.decrypt(data.p(), data.len, &payload), -8);
  bytes region(64);
  uint64_t len = 4;
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), reinterpret_cast<const uint8_t *>("late"), &len), nullptr);
}

// Continuation frames are accepted from a fragmented message's first frame
// on, also after its final fragment, until an unfragmented frame.
TEST(decrypt, continuation_tracking) {
  g_ws_t ws;
  rfc6455(ws);
  struct {
    uint8_t first;
    int64_t result;
  } steps[] = {{0x01, 1},  {0x80, 1}, {0x80, 1}, {0x00, 1}, {0x81, 1},
               {0x80, -2}, {0x02, 1}, {0x80, 1}, {0x82, 1}, {0x00, -2}};
  for (const auto &s : steps) {
    received r(make_frame(s.first, text("x"), true));
    uint8_t *payload = nullptr;
    EXPECT_EQ(ws.decrypt(r.p(), r.len, &payload), s.result) << std::hex << int(s.first);
  }
}

TEST(decrypt, older_framing) {
  struct {
    bytes data;
    int64_t result;
    uint32_t version;
    uint8_t partial;
    uint8_t more;
    bytes relayed; // `result` bytes from the payload
  } cases[] = {
      {{0x00, 'a', 'b', 'c', 0xFF}, 4, 8, 0, 0, {'a', 'b', 'c', 0x00}},
      {{0x00, 'a', 0xFF, 0x00, 'b', 0xFF}, 2, 8, 0, 1, {'a', 0x00}},
      {{0x00, 'a', 'b'}, 3, 8, 1, 0, {}},
      {{0x00}, -8, 0, 0, 0, {}},
      {{0x00, 0xFF}, -8, 0, 0, 0, {}},
      {{0x00, 0xFF, 'a', 0xFF}, -8, 0, 0, 0, {}},
      {{'a', 0xFF}, -1, 8, 0, 0, {}},
      {{0x81, 0x00}, -1, 8, 0, 0, {}},
  };
  for (auto &c : cases) {
    g_ws_t ws;
    ws.version = 8;
    received r(c.data);
    uint8_t *payload = nullptr;
    const int64_t result = ws.decrypt(r.p(), r.len, &payload);
    const std::string name = testing::PrintToString(c.data);
    EXPECT_EQ(result, c.result) << name;
    EXPECT_EQ(ws.version.load(), c.version) << name;
    EXPECT_EQ(ws.partial, c.partial) << name;
    EXPECT_EQ(ws.more, c.more) << name;
    if (!c.relayed.empty()) {
      EXPECT_EQ(payload, r.p() + 1) << name;
      EXPECT_EQ(bytes(payload, payload + result), c.relayed) << name;
    }
  }
}

TEST(decrypt, older_framing_second_message_follows_the_first) {
  g_ws_t ws;
  ws.version = 8;
  received r({0x00, 'a', 'b', 0xFF, 0x00, 'c', 0xFF});
  uint8_t *payload = nullptr;
  ASSERT_EQ(ws.decrypt(r.p(), r.len, &payload), 3);
  ASSERT_EQ(ws.more, 1);
  uint8_t *next = payload + 3;
  ASSERT_EQ(ws.decrypt(next, r.len - static_cast<uint64_t>(next - r.p()), &payload), 2);
  EXPECT_EQ(payload, next + 1);
  EXPECT_EQ(payload[0], 'c');
  EXPECT_EQ(ws.more, 0);
}

// Pings, pongs and the close reply, seen by a real peer on a loopback
// connection whose server end is the transport's socket.
class control_test : public testing::Test {
protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.S_un.S_addr = static_cast<ULONG>(inet_addr("127.0.0.1"));
    int size = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
    ASSERT_TRUE(peer.connect(ntohs(address.sin_port)));
    server = accept(listener, nullptr, nullptr);
    ASSERT_NE(server, INVALID_SOCKET);
    rfc6455(ws);
    ws.tls.so = server;
  }
  void TearDown() override {
    ws.tls.so = INVALID_SOCKET;
    if (server != INVALID_SOCKET) {
      closesocket(server);
    }
    if (listener != INVALID_SOCKET) {
      closesocket(listener);
    }
    WSACleanup();
  }

  SOCKET listener = INVALID_SOCKET;
  SOCKET server = INVALID_SOCKET;
  tcp_client peer;
  g_ws_t ws;
};

TEST_F(control_test, ping_is_answered_and_pong_ignored) {
  bytes data = make_frame(0x89, text("hi"), true);
  const bytes after_ping = make_frame(0x81, text("abc"), true);
  data.insert(data.end(), after_ping.begin(), after_ping.end());
  received r(data);
  uint8_t *payload = nullptr;

  ASSERT_EQ(ws.decrypt(r.p(), r.len, &payload), 2);
  EXPECT_EQ(ws.skip, 1);
  EXPECT_EQ(ws.more, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(payload)), "hi");
  uint8_t *next = payload + 2;
  ASSERT_EQ(ws.decrypt(next, r.len - static_cast<uint64_t>(next - r.p()), &payload), 3);
  EXPECT_EQ(ws.skip, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(payload)), "abc");
  EXPECT_EQ(peer.recv_exact(4, 5000), std::string("\x8A\x02hi", 4));

  // An unsolicited pong sends nothing: the next bytes on the wire are the
  // answer to the empty ping after it.
  received pong(make_frame(0x8A, text("zz"), true));
  ASSERT_EQ(ws.decrypt(pong.p(), pong.len, &payload), 2);
  EXPECT_EQ(ws.skip, 1);
  received empty_ping(make_frame(0x89, {}, true));
  ASSERT_EQ(ws.decrypt(empty_ping.p(), empty_ping.len, &payload), 0);
  EXPECT_EQ(ws.skip, 1);
  EXPECT_EQ(peer.recv_exact(2, 5000), std::string("\x8A\x00", 2));

  // A ping of the longest control payload, unmasked, first given in part.
  const bytes longest = byte_pattern<bytes>(2, 125);
  received full(make_frame(0x89, longest, false));
  ASSERT_EQ(ws.decrypt(full.p(), full.len / 2, &payload), static_cast<int64_t>(full.len / 2));
  EXPECT_EQ(ws.partial, 1);
  ASSERT_EQ(ws.decrypt(full.p(), full.len, &payload), 125);
  bytes expected{0x8A, 125};
  expected.insert(expected.end(), longest.begin(), longest.end());
  const std::string answer = peer.recv_exact(expected.size(), 5000);
  EXPECT_EQ(bytes(answer.begin(), answer.end()), expected);
}

TEST_F(control_test, close_is_answered_with_status_1000) {
  received r(make_frame(0x88, {0x03, 0xE9, 'b', 'y', 'e'}, true));
  uint8_t *payload = nullptr;
  ASSERT_EQ(ws.decrypt(r.p(), r.len, &payload), -8);
  EXPECT_EQ(ws.version.load(), 0u);
  EXPECT_EQ(peer.recv_exact(4, 5000), std::string("\x88\x02\x03\xE8", 4));
}

struct encrypt_case {
  uint64_t size;
  uint64_t header;
};

class encrypt_test : public testing::TestWithParam<encrypt_case> {};

TEST_P(encrypt_test, header_in_front_of_the_copied_payload) {
  const encrypt_case &c = GetParam();
  g_ws_t ws;
  rfc6455(ws);
  const bytes payload(c.size, 'a');
  bytes region(10 + c.size, 0xEE);

  uint64_t len = c.size;
  uint8_t *frame = ws.encrypt(region.data(), region.size(), payload.data(), &len);
  ASSERT_EQ(frame, region.data() + 10 - c.header);
  EXPECT_EQ(len, c.header + c.size);
  bytes header{0x81};
  if (c.header == 2) {
    header.push_back(static_cast<uint8_t>(c.size));
  } else if (c.header == 4) {
    header.insert(header.end(), {126, static_cast<uint8_t>(c.size >> 8), static_cast<uint8_t>(c.size)});
  } else {
    header.push_back(127);
    for (int i = 7; i >= 0; --i) {
      header.push_back(static_cast<uint8_t>(c.size >> (8 * i)));
    }
  }
  EXPECT_EQ(bytes(frame, frame + c.header), header);
  EXPECT_EQ(bytes(region.begin() + 10, region.end()), payload);

  // One byte less room, and nothing is built.
  bytes small(10 + c.size - 1);
  len = c.size;
  EXPECT_EQ(ws.encrypt(small.data(), small.size(), payload.data(), &len), nullptr);
}

INSTANTIATE_TEST_SUITE_P(encrypt, encrypt_test,
                         testing::Values(encrypt_case{1, 2}, encrypt_case{125, 2}, encrypt_case{126, 4},
                                         encrypt_case{65535, 4}, encrypt_case{65536, 10}),
                         [](const testing::TestParamInfo<encrypt_case> &p) {
                           return "size_" + std::to_string(p.param.size);
                         });

TEST(encrypt, payload_position_in_the_region) {
  struct {
    uint64_t at;     // payload offset in the region
    uint64_t placed; // where the frame's payload ends up
  } cases[] = {{9, 10}, {10, 10}, {13, 13}, {16, 16}, {17, 10}, {3, 10}};
  for (const auto &c : cases) {
    g_ws_t ws;
    rfc6455(ws);
    bytes region(64, 0xEE);
    std::memcpy(region.data() + c.at, "abcdef", 6);
    uint64_t len = 6;
    uint8_t *frame = ws.encrypt(region.data(), region.size(), region.data() + c.at, &len);
    ASSERT_EQ(frame, region.data() + c.placed - 2) << c.at;
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(frame), 8), std::string("\x81\006abcdef", 8)) << c.at;
  }
}

TEST(encrypt, nothing_to_frame) {
  g_ws_t ws;
  bytes region(64);
  const uint8_t data[] = {'a'};
  uint64_t len = 1;
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), data, &len), nullptr); // no framing yet
  rfc6455(ws);
  EXPECT_EQ(ws.encrypt(nullptr, region.size(), data, &len), nullptr);
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), nullptr, &len), nullptr);
  len = 0;
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), data, &len), nullptr);
  len = 1;
  EXPECT_EQ(ws.encrypt(region.data(), 10, data, &len), nullptr);
}

TEST(encrypt, older_framing_wraps_exactly_the_bytes_given) {
  g_ws_t ws;
  ws.version = 8;
  const uint8_t data[] = {'a', 'b', 'c'};
  bytes region(5, 0xEE);
  uint64_t len = 3;
  uint8_t *frame = ws.encrypt(region.data(), region.size(), data, &len);
  ASSERT_EQ(frame, region.data());
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(region, (bytes{0x00, 'a', 'b', 'c', 0xFF}));

  bytes small(4);
  len = 3;
  EXPECT_EQ(ws.encrypt(small.data(), small.size(), data, &len), nullptr);
}

TEST(encrypt, binary_payload_gets_opcode_2) {
  g_ws_t ws;
  rfc6455(ws);
  const uint8_t data[] = {0xD8, 0xA7};
  bytes region(32);
  uint64_t len = 2;
  uint8_t *frame = ws.encrypt(region.data(), region.size(), data, &len);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame[0], 0x82);
}

} // namespace
