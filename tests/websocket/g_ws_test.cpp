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

bytes concat(std::initializer_list<bytes> parts) {
  bytes all;
  for (const bytes &part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// A message as the receivers get it: its type and its bytes, joined from its
// pieces; `whole` when its last piece came.
struct message {
  uint8_t type;
  bytes data;
  bool whole;
  bool operator==(const message &) const = default;
};

void PrintTo(const message &m, std::ostream *os) {
  *os << "type " << int(m.type) << (m.whole ? " whole " : " open ") << testing::PrintToString(m.data);
}

// What the decoder makes of a stream received in the pieces that `cuts`
// (ascending offsets) give, as the reader does it: each receive in its own
// buffer behind the room the reader leaves, filled with a marker that the
// decoder must not hand on, after the bytes that the decoder left waiting for
// more; frames of up to `capacity` bytes are waited for whole.
struct decoded {
  std::vector<message> messages;
  int64_t end = 0;
  int pieces = 0;
};

decoded decode(g_ws_t &ws, const bytes &stream, const std::vector<uint64_t> &cuts, uint64_t capacity = 0) {
  decoded out;
  bytes kept;
  uint64_t from = 0;
  std::vector<uint64_t> ends = cuts;
  ends.push_back(stream.size());
  for (const uint64_t to : ends) {
    if (to <= from) {
      continue;
    }
    bytes buffer(WS_FRONT_ROOM + kept.size() + (to - from), 0x5A);
    std::copy(kept.begin(), kept.end(), buffer.begin() + WS_FRONT_ROOM);
    std::copy(stream.begin() + static_cast<int64_t>(from), stream.begin() + static_cast<int64_t>(to),
              buffer.begin() + static_cast<int64_t>(WS_FRONT_ROOM + kept.size()));
    uint8_t *p = buffer.data() + WS_FRONT_ROOM;
    uint64_t left = buffer.size() - WS_FRONT_ROOM;
    from = to;
    while (left != 0) {
      ws_piece_t piece;
      const int64_t used = ws.decrypt(p, left, capacity, &piece);
      if (used < 0) {
        out.end = used;
        return out;
      }
      if (used == 0) {
        EXPECT_LT(left, capacity);
        break;
      }
      EXPECT_LE(static_cast<uint64_t>(used), left);
      if (piece.data != nullptr) {
        ++out.pieces;
        if (piece.first) {
          out.messages.push_back({piece.type, {}, false});
        }
        EXPECT_FALSE(out.messages.empty() || out.messages.back().whole) << "a piece outside a message";
        if (out.messages.empty()) {
          return out;
        }
        message &m = out.messages.back();
        m.data.insert(m.data.end(), piece.data, piece.data + piece.size);
        m.whole = piece.last;
      }
      p += used;
      left -= static_cast<uint64_t>(used);
    }
    kept.assign(p, p + left);
  }
  return out;
}

// Cuts to try on a stream: none, every single cut for short streams, and a
// cut at 1, at half and at n - 1 with a cut every `step` bytes for long ones.
std::vector<std::vector<uint64_t>> cuts_of(uint64_t n) {
  std::vector<std::vector<uint64_t>> all{{}};
  if (n <= 64) {
    for (uint64_t c = 1; c < n; ++c) {
      all.push_back({c});
    }
    std::vector<uint64_t> every;
    for (uint64_t c = 1; c < n; ++c) {
      every.push_back(c);
    }
    all.push_back(every);
    return all;
  }
  all.push_back({1, n / 2, n - 1});
  for (const uint64_t step : {uint64_t{4093}, uint64_t{65507}}) {
    std::vector<uint64_t> regular;
    for (uint64_t c = step; c < n; c += step) {
      regular.push_back(c);
    }
    all.push_back(regular);
  }
  return all;
}

const bytes EURO = {0xE2, 0x82, 0xAC};
const bytes EMOJI = {0xF0, 0x9F, 0x98, 0x80};

struct stream_case {
  const char *name;
  uint32_t version;
  bytes stream;
  std::vector<message> messages;
};

std::vector<stream_case> stream_cases() {
  const bytes big = byte_pattern<bytes>(3, 70000);
  bytes long_text;
  for (int i = 0; i < 2000; ++i) {
    long_text.insert(long_text.end(), EMOJI.begin(), EMOJI.end());
    long_text.push_back('a');
  }
  const bytes older_long(5000, 'q');
  return {
      {"hello", 13, make_frame(0x81, text("Hello"), true), {{1, text("Hello"), true}}},
      {"binary_ascii_stays_binary", 13, make_frame(0x82, text("abc"), true), {{2, text("abc"), true}}},
      {"empty_text", 13, make_frame(0x81, {}, true), {{1, {}, true}}},
      {"binary_64_bit_length", 13, make_frame(0x82, big, true), {{2, big, true}}},
      {"text_of_4_byte_characters", 13, make_frame(0x81, long_text, true), {{1, long_text, true}}},
      // A character split between fragments, a ping between them, and an
      // empty final continuation as libraries send it.
      {"fragmented_text",
       13,
       concat({make_frame(0x01, concat({text("a"), {0xF0, 0x9F}}), true), make_frame(0x89, text("p"), true),
               make_frame(0x00, {0x98, 0x80, 'b'}, true), make_frame(0x80, {}, true)}),
       {{1, concat({text("a"), EMOJI, text("b")}), true}}},
      {"fragmented_binary_then_text",
       13,
       concat({make_frame(0x02, text("x"), true), make_frame(0x80, text("y"), true), make_frame(0x8A, {}, true),
               make_frame(0x81, EURO, true)}),
       {{2, text("xy"), true}, {1, EURO, true}}},
      {"older_two_messages", 8, {0x00, 'a', 0xFF, 0x00, 'b', 0xFF}, {{1, text("a"), true}, {1, text("b"), true}}},
      {"older_text", 8, concat({{0x00}, EURO, EMOJI, {0xFF}}), {{1, concat({EURO, EMOJI}), true}}},
      {"older_long", 8, concat({{0x00}, older_long, {0xFF}}), {{1, older_long, true}}},
  };
}

class stream_test : public testing::TestWithParam<stream_case> {};

// However the stream is cut, the same messages come out whole and typed,
// whether frames pass piece by piece or the buffer holds them whole.
TEST_P(stream_test, messages_whatever_the_cuts) {
  const stream_case &c = GetParam();
  for (const uint64_t capacity : {uint64_t{0}, uint64_t{100}, uint64_t{4085}}) {
    for (const auto &cuts : cuts_of(c.stream.size())) {
      g_ws_t ws;
      ws.version = c.version;
      const decoded d = decode(ws, c.stream, cuts, capacity);
      EXPECT_EQ(d.end, 0) << capacity << " " << testing::PrintToString(cuts);
      EXPECT_EQ(d.messages, c.messages) << capacity << " " << testing::PrintToString(cuts);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(decrypt, stream_test, testing::ValuesIn(stream_cases()),
                         [](const testing::TestParamInfo<stream_case> &p) { return std::string(p.param.name); });

// Pieces of a long frame are handed on as they arrive: nothing waits for the
// frame to end, and the first piece is the frame's first bytes.
TEST(decrypt, long_frame_passes_piece_by_piece) {
  const bytes payload = byte_pattern<bytes>(5, 10000);
  const bytes f = make_frame(0x82, payload, true);
  g_ws_t ws;
  ws.version = 13;
  bytes buffer(WS_FRONT_ROOM + 1000);
  std::copy(f.begin(), f.begin() + 1000, buffer.begin() + WS_FRONT_ROOM);
  uint8_t *p = buffer.data() + WS_FRONT_ROOM;
  ws_piece_t piece;
  ASSERT_EQ(ws.decrypt(p, 1000, 4085, &piece), 8);
  EXPECT_EQ(piece.data, nullptr);
  ASSERT_EQ(ws.decrypt(p + 8, 992, 4085, &piece), 992);
  ASSERT_NE(piece.data, nullptr);
  EXPECT_EQ(piece.first, 1);
  EXPECT_EQ(piece.last, 0);
  EXPECT_EQ(bytes(piece.data, piece.data + piece.size), bytes(payload.begin(), payload.begin() + 992));
}

// A frame that the receive buffer holds goes on as one piece however the
// stream is cut; one byte longer, it goes in pieces as its bytes come.
TEST(decrypt, frame_the_buffer_holds_goes_on_whole) {
  constexpr uint64_t capacity = 4085;
  const struct {
    uint64_t payload;
    int pieces;
  } cases[] = {{0, 1}, {1, 1}, {125, 1}, {126, 1}, {4000, 1}, {capacity - 8, 1}, {capacity - 7, 3}};
  for (const auto &c : cases) {
    const bytes payload = byte_pattern<bytes>(7, c.payload);
    const bytes f = make_frame(0x82, payload, true);
    g_ws_t ws;
    ws.version = 13;
    const decoded d = decode(ws, f, {1, f.size() / 2, f.size() - 1}, capacity);
    EXPECT_EQ(d.messages, (std::vector<message>{{2, payload, true}})) << c.payload;
    EXPECT_EQ(d.pieces, c.pieces) << c.payload;
  }
}

TEST(decrypt, after_close_nothing_is_decoded_or_framed) {
  g_ws_t ws;
  ws.version = 8;
  const decoded d = decode(ws, {0x00, 'a', 0xFF, 0xFF, 0x00, 0x00, 'b', 0xFF}, {});
  EXPECT_EQ(d.end, WS_DECODE_CLOSED);
  EXPECT_EQ(d.messages, (std::vector<message>{{1, text("a"), true}}));
  EXPECT_EQ(ws.version.load(), 0u);
  uint8_t data[] = {'x'};
  bytes region(64);
  uint64_t len = 0;
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), {data, 1, 1, 1, 1}, &len), nullptr);
}

// Bytes that are not a frame end an older-framing connection; an empty
// message has always closed it, but one that ends inside a character is
// invalid text however the receives cut it.
TEST(decrypt, older_framing_ends) {
  const struct {
    bytes stream;
    int64_t end;
  } cases[] = {{{'a', 0xFF}, WS_DECODE_PROTOCOL_ERROR},
               {{0x81, 0x00}, WS_DECODE_PROTOCOL_ERROR},
               {{0xFF, 0x01}, WS_DECODE_PROTOCOL_ERROR},
               {{0x00, 0xC0, 0x80, 0xFF}, WS_DECODE_INVALID_TEXT},
               {{0x00, 0xE2, 0x82, 0xFF}, WS_DECODE_INVALID_TEXT},
               {{0x00, 0xFF}, WS_DECODE_CLOSED}};
  for (const auto &c : cases) {
    for (const auto &cuts : cuts_of(c.stream.size())) {
      g_ws_t ws;
      ws.version = 8;
      EXPECT_EQ(decode(ws, c.stream, cuts).end, c.end) << testing::PrintToString(c.stream);
    }
  }
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
    ws.version = 13;
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
  const bytes longest = byte_pattern<bytes>(2, 125);
  const bytes stream = concat({make_frame(0x89, text("hi"), true), make_frame(0x8A, text("zz"), true),
                               make_frame(0x89, {}, true), make_frame(0x89, longest, true)});
  for (const auto &cuts : cuts_of(stream.size())) {
    ws.version = 13;
    ws.reset_framing();
    const decoded d = decode(ws, stream, cuts);
    EXPECT_EQ(d.end, 0);
    EXPECT_TRUE(d.messages.empty());
    bytes expected = concat({{0x8A, 2, 'h', 'i', 0x8A, 0, 0x8A, 125}, longest});
    const std::string answer = peer.recv_exact(expected.size(), 5000);
    ASSERT_EQ(bytes(answer.begin(), answer.end()), expected) << testing::PrintToString(cuts);
  }
}

TEST_F(control_test, close_is_answered_with_status_1000) {
  const decoded d = decode(ws, make_frame(0x88, {0x03, 0xE9, 'b', 'y', 'e'}, true), {3});
  EXPECT_EQ(d.end, WS_DECODE_CLOSED);
  EXPECT_EQ(ws.version.load(), 0u);
  EXPECT_EQ(peer.recv_exact(4, 5000), std::string("\x88\x02\x03\xE8", 4));
}

TEST_F(control_test, older_close_is_answered) {
  ws.version = 8;
  const decoded d = decode(ws, {0xFF, 0x00}, {1});
  EXPECT_EQ(d.end, WS_DECODE_CLOSED);
  EXPECT_EQ(peer.recv_exact(2, 5000), std::string("\xFF\x00", 2));
}

struct error_case {
  const char *name;
  bytes stream;
  int64_t end;
  uint16_t code;
  std::vector<message> before; // what went out before the error
};

class error_test : public control_test, public testing::WithParamInterface<error_case> {};

// Each error is answered with a close frame carrying its code, and none of
// its bytes is handed on; what went before stays as it was.
TEST_P(error_test, closed_with_its_code) {
  const error_case &c = GetParam();
  const decoded d = decode(ws, c.stream, {});
  EXPECT_EQ(d.end, c.end);
  EXPECT_EQ(d.messages, c.before);
  EXPECT_EQ(ws.version.load(), 0u);
  const std::string close{'\x88', '\x02', static_cast<char>(c.code >> 8), static_cast<char>(c.code & 0xFF)};
  EXPECT_EQ(peer.recv_exact(4, 5000), close);
}

const bytes OPEN_TEXT = make_frame(0x01, text("ab"), true);

INSTANTIATE_TEST_SUITE_P(
    decrypt, error_test,
    testing::Values(
        error_case{"unmasked", make_frame(0x81, text("hi"), false), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"rsv1", make_frame(0xC1, text("hi"), true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"rsv2", make_frame(0xA1, text("hi"), true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"rsv3", make_frame(0x91, text("hi"), true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"reserved_data_opcode", make_frame(0x83, text("hi"), true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"reserved_control_opcode", make_frame(0x8B, {}, true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"fragmented_ping", make_frame(0x09, {}, true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"fragmented_close", make_frame(0x08, {}, true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"long_ping", make_frame(0x89, bytes(126, 'p'), true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"stray_continuation", make_frame(0x80, text("hi"), true), WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"new_message_inside_fragmented",
                   concat({OPEN_TEXT, make_frame(0x82, text("c"), true)}),
                   WS_DECODE_PROTOCOL_ERROR,
                   1002,
                   {{1, text("ab"), false}}},
        error_case{
            "length_top_bit", {0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4}, WS_DECODE_PROTOCOL_ERROR, 1002, {}},
        error_case{"overlong", make_frame(0x81, {0xC0, 0x80}, true), WS_DECODE_INVALID_TEXT, 1007, {}},
        error_case{"surrogate", make_frame(0x81, {0xED, 0xA0, 0x80}, true), WS_DECODE_INVALID_TEXT, 1007, {}},
        error_case{"beyond_10ffff", make_frame(0x81, {0xF4, 0x90, 0x80, 0x80}, true), WS_DECODE_INVALID_TEXT, 1007, {}},
        error_case{"text_ends_inside_a_character",
                   make_frame(0x81, {'a', 0xE2, 0x82}, true),
                   WS_DECODE_INVALID_TEXT,
                   1007,
                   {}},
        error_case{"invalid_in_a_later_fragment",
                   concat({OPEN_TEXT, make_frame(0x80, {'c', 0xFF}, true)}),
                   WS_DECODE_INVALID_TEXT,
                   1007,
                   {{1, text("ab"), false}}}),
    [](const testing::TestParamInfo<error_case> &p) { return std::string(p.param.name); });

struct encrypt_case {
  uint64_t size;
  uint64_t header;
};

class encrypt_test : public testing::TestWithParam<encrypt_case> {};

// The frame starts at the region's start and fills no more than it needs,
// so that frames built one behind another make one stream.
TEST_P(encrypt_test, frame_at_the_region_start) {
  const encrypt_case &c = GetParam();
  g_ws_t ws;
  ws.version = 13;
  bytes payload(c.size, 'a');
  bytes region(c.header + c.size, 0xEE);

  uint64_t len = 0;
  uint8_t *frame = ws.encrypt(region.data(), region.size(), {payload.data(), c.size, WS_BINARY, 1, 1}, &len);
  ASSERT_EQ(frame, region.data());
  EXPECT_EQ(len, c.header + c.size);
  bytes header{0x82};
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
  EXPECT_EQ(bytes(region.begin() + static_cast<std::ptrdiff_t>(c.header), region.end()), payload);

  // One byte less room, and nothing is built.
  bytes small(c.header + c.size - 1);
  EXPECT_EQ(ws.encrypt(small.data(), small.size(), {payload.data(), c.size, WS_BINARY, 1, 1}, &len), nullptr);
}

INSTANTIATE_TEST_SUITE_P(encrypt, encrypt_test,
                         testing::Values(encrypt_case{1, 2}, encrypt_case{125, 2}, encrypt_case{126, 4},
                                         encrypt_case{65535, 4}, encrypt_case{65536, 10}),
                         [](const testing::TestParamInfo<encrypt_case> &p) {
                           return "size_" + std::to_string(p.param.size);
                         });

// A message in pieces: its type on the first frame, continuations after it,
// FIN on the last; the older framing opens and closes it once.
TEST(encrypt, pieces_of_one_message) {
  const struct {
    uint32_t version;
    uint8_t first;
    uint8_t last;
    uint64_t size;
    bytes frame;
  } cases[] = {
      {13, 1, 1, 2, {0x81, 2, 'a', 'b'}},
      {13, 1, 0, 2, {0x01, 2, 'a', 'b'}},
      {13, 0, 0, 2, {0x00, 2, 'a', 'b'}},
      {13, 0, 1, 2, {0x80, 2, 'a', 'b'}},
      {13, 0, 1, 0, {0x80, 0}},
      {13, 1, 1, 0, {0x81, 0}},
      {8, 1, 1, 2, {0x00, 'a', 'b', 0xFF}},
      {8, 1, 0, 2, {0x00, 'a', 'b'}},
      {8, 0, 0, 2, {'a', 'b'}},
      {8, 0, 1, 2, {'a', 'b', 0xFF}},
      {8, 0, 1, 0, {0xFF}},
  };
  for (const auto &c : cases) {
    g_ws_t ws;
    ws.version = c.version;
    uint8_t data[] = {'a', 'b'};
    bytes region(32, 0xEE);
    uint64_t len = 0;
    uint8_t *frame = ws.encrypt(region.data(), region.size(), {data, c.size, WS_TEXT, c.first, c.last}, &len);
    ASSERT_NE(frame, nullptr) << testing::PrintToString(c.frame);
    EXPECT_EQ(bytes(frame, frame + len), c.frame);
  }
}

TEST(encrypt, nothing_to_frame) {
  g_ws_t ws;
  bytes region(64);
  uint8_t data[] = {'a'};
  uint64_t len = 0;
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), {data, 1, 1, 1, 1}, &len), nullptr); // no framing yet
  ws.version = 13;
  EXPECT_EQ(ws.encrypt(nullptr, region.size(), {data, 1, 1, 1, 1}, &len), nullptr);
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), {nullptr, 1, 1, 1, 1}, &len), nullptr);
  EXPECT_EQ(ws.encrypt(region.data(), 2, {data, 1, 1, 1, 1}, &len), nullptr); // no room
  ws.version = 8;
  EXPECT_EQ(ws.encrypt(region.data(), region.size(), {data, 0, 1, 1, 1}, &len), nullptr);
  // The older framing carries text only.
  uint8_t binary[] = {'a', 0xFF, 'b'};
  for (const ws_piece_t &piece : {ws_piece_t{binary, 3, WS_BINARY, 1, 1}, ws_piece_t{binary, 3, WS_BINARY, 0, 0},
                                  ws_piece_t{binary, 0, WS_BINARY, 0, 1}})
    EXPECT_EQ(ws.encrypt(region.data(), region.size(), piece, &len), nullptr);
}

} // namespace
