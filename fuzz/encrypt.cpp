// Framing for a target as frame_pieces does it: pieces of messages, their
// payloads in a buffer of their own (the sender's), framed one behind
// another into a send half of exactly its size, a new half when the next
// piece would not fit; the halves' bytes, joined, are decoded by a decoder
// written here (RFC 6455 server frames: unmasked, the type on a message's
// first frame and continuations after it, FIN on its last, the shortest
// length form; the older framing: 0x00, the bytes, 0xFF).
//
// Each frame starts at the region's start, is as long as its header and
// payload, and ends inside the region; the byte behind it and the payload
// are untouched. Null comes only for nothing to send (an empty message or a
// binary one in the older framing, which has neither) and for no room: a
// region one byte shorter than the frame gets none, one of exactly its
// length gets all of it. The decoded frames and messages are the pieces and
// messages framed.
//
// Pieces are as the decoder gives them: at most a receive long, empty only
// when they end a message. Text never holds a 0xFF byte; binary may.
//
// Input: a settings byte (bit 0 the older framing), two bytes that give the
// half's size (256 to past the 16-bit length form), then messages: a byte
// with the type and the count of pieces (1 to 4), then for each piece its
// size (1 or 2 bytes) and a pattern of up to 16 bytes its payload repeats.
#include "websocket/g_ws.h"

#include "fuzz_input.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using fuzz::bytes;
using fuzz::input_t;
using fuzz::require;

constexpr uint32_t RFC6455 = 13;
constexpr uint32_t DRAFT76 = 8;
constexpr uint64_t SMALLEST_HALF = WS_MIN_PACKET_LENGTH;
constexpr size_t MAX_PIECES = 64;
constexpr uint64_t PAYLOAD_BUDGET = 256 * 1024;
constexpr uint8_t MARK = 0xA5;

struct piece_t {
  uint8_t type;
  bool first;
  bool last;
  bytes payload;
};

struct message_t {
  uint8_t type;
  bytes data;
  bool operator==(const message_t &) const = default;
};

// A piece's size: up to 200 bytes as it is, beyond in steps of 2400, at
// most a receive long.
uint64_t piece_size(input_t &in, uint64_t half, uint64_t *budget) {
  const uint64_t b = in.next();
  const uint64_t wanted = b <= 200 ? b : (b - 200) * 2400 + in.next();
  const uint64_t n = std::min({wanted, half - WS_FRAME_ROOM, *budget});
  *budget -= n;
  return n;
}

bytes make_payload(input_t &in, uint64_t n, bool text) {
  bytes pattern = in.take(16);
  if (pattern.empty())
    pattern.push_back('a');
  bytes out(n);
  for (uint64_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(pattern[i % pattern.size()] + i / pattern.size());
    if (text && out[i] == 0xFF)
      out[i] = 0xFE;
  }
  return out;
}

std::vector<piece_t> read_pieces(input_t &in, uint64_t half) {
  std::vector<piece_t> pieces;
  uint64_t budget = PAYLOAD_BUDGET;
  while (!in.empty() && pieces.size() < MAX_PIECES) {
    const uint8_t d = in.next();
    const uint8_t type = (d & 1) != 0 ? WS_TEXT : WS_BINARY;
    const unsigned count = 1 + (d >> 1) % 4;
    for (unsigned k = 0; k < count; ++k) {
      const bool last = k + 1 == count;
      uint64_t n = piece_size(in, half, &budget);
      if (n == 0 && !last)
        n = 1;
      pieces.push_back({type, k == 0, last, make_payload(in, n, type == WS_TEXT)});
    }
  }
  return pieces;
}

// The frame's length by the framing's own rules; 0 when there is nothing to
// send.
uint64_t frame_length(const piece_t &p, bool older) {
  const uint64_t n = p.payload.size();
  if (older)
    return p.type != WS_TEXT || (n == 0 && p.first) ? 0 : (p.first ? 1 : 0) + n + (p.last ? 1 : 0);
  return (n <= 125 ? 2 : (n <= 0xFFFF ? 4 : 10)) + n;
}

// The pieces' own buffers lie outside every region, as a sender's receive
// buffer lies outside its targets' send halves.
class framer_t {
public:
  framer_t(g_ws_t &w, uint64_t half_size, bool older_framing) : ws(w), half(half_size), older(older_framing) {}

  // Frames every piece into halves as frame_pieces does; the halves' bytes
  // joined, as the client receives them.
  bytes run(const std::vector<piece_t> &pieces) {
    start_half();
    for (const piece_t &p : pieces) {
      if (used != 0 && p.payload.size() + WS_FRAME_ROOM > half - used) {
        wire.insert(wire.end(), region.get(), region.get() + used);
        start_half();
      }
      used += frame_into(p, region.get() + used, half - used);
      check_room(p);
    }
    wire.insert(wire.end(), region.get(), region.get() + used);
    return wire;
  }

private:
  void start_half() {
    region.reset(new uint8_t[half]);
    std::memset(region.get(), MARK, half);
    used = 0;
  }

  // Frames `p` at `at` with `room` bytes free; the bytes it took.
  uint64_t frame_into(const piece_t &p, uint8_t *at, uint64_t room) {
    const uint64_t expected = frame_length(p, older);
    const uint64_t size = p.payload.size();
    std::unique_ptr<uint8_t[]> payload(new uint8_t[std::max<uint64_t>(size, 1)]);
    std::copy(p.payload.begin(), p.payload.end(), payload.get());
    uint64_t len = 0;
    const ws_piece_t piece{payload.get(), size, p.type, p.first, p.last};
    const uint8_t *frame = ws.encrypt(at, room, piece, &len);
    require(std::equal(p.payload.begin(), p.payload.end(), payload.get()));
    if (expected == 0 || expected > room) {
      require(frame == nullptr);
      return 0;
    }
    require(frame == at && len == expected);
    require(len == room || at[len] == MARK);
    return len;
  }

  // A region of exactly the frame's length holds it; one byte less, none.
  void check_room(const piece_t &p) {
    const uint64_t expected = frame_length(p, older);
    if (expected == 0)
      return;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[expected]);
    require(frame_into(p, exact.get(), expected) == expected);
    std::unique_ptr<uint8_t[]> short_one(new uint8_t[expected - 1]);
    require(frame_into(p, short_one.get(), expected - 1) == 0);
  }

  g_ws_t &ws;
  const uint64_t half;
  const bool older;
  std::unique_ptr<uint8_t[]> region;
  uint64_t used = 0;
  bytes wire;
};

// RFC 6455 section 5.2, as a client reads a server's frames: each frame
// decoded becomes a piece.
std::vector<piece_t> decode_rfc6455(const bytes &wire) {
  std::vector<piece_t> frames;
  size_t at = 0;
  bool open = false;
  uint8_t type = 0;
  while (at < wire.size()) {
    require(wire.size() - at >= 2);
    const uint8_t b0 = wire[at];
    const uint8_t b1 = wire[at + 1];
    require((b0 & 0x70) == 0 && (b1 & 0x80) == 0);
    const uint8_t op = b0 & 0x0F;
    const bool fin = (b0 & 0x80) != 0;
    uint64_t length = b1 & 0x7F;
    size_t header = 2;
    if (length >= 126) {
      const size_t width = length == 126 ? 2 : 8;
      require(wire.size() - at >= 2 + width);
      length = 0;
      for (size_t i = 0; i < width; ++i)
        length = length << 8 | wire[at + 2 + i];
      header += width;
      // The shortest form that holds the length.
      require(width == 2 ? length >= 126 : length > 0xFFFF);
    }
    require(wire.size() - at - header >= length);
    require(open ? op == 0 : op == WS_TEXT || op == WS_BINARY);
    if (!open)
      type = op;
    const uint8_t *payload = wire.data() + at + header;
    frames.push_back({type, !open, fin, bytes(payload, payload + length)});
    open = !fin;
    at += header + static_cast<size_t>(length);
  }
  return frames;
}

// The older framing: every message opens with 0x00 and ends with 0xFF.
std::vector<message_t> decode_older(const bytes &wire) {
  std::vector<message_t> messages;
  size_t at = 0;
  while (at < wire.size()) {
    require(wire[at] == 0x00);
    const auto end = std::find(wire.begin() + static_cast<ptrdiff_t>(at) + 1, wire.end(), 0xFF);
    require(end != wire.end());
    messages.push_back({WS_TEXT, bytes(wire.begin() + static_cast<ptrdiff_t>(at) + 1, end)});
    at = static_cast<size_t>(end - wire.begin()) + 1;
  }
  return messages;
}

// The messages the pieces make, as the older framing carries them: text
// only, and no empty message.
std::vector<message_t> older_messages(const std::vector<piece_t> &pieces) {
  std::vector<message_t> messages;
  for (const piece_t &p : pieces) {
    if (p.type != WS_TEXT)
      continue;
    if (p.first)
      messages.push_back({WS_TEXT, {}});
    messages.back().data.insert(messages.back().data.end(), p.payload.begin(), p.payload.end());
    if (p.last && messages.back().data.empty())
      messages.pop_back();
  }
  return messages;
}

void check_frames(const std::vector<piece_t> &got, const std::vector<piece_t> &pieces) {
  require(got.size() == pieces.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const piece_t &g = got[i];
    const piece_t &p = pieces[i];
    require(g.type == p.type && g.first == p.first && g.last == p.last && g.payload == p.payload);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  input_t in(data, size);
  const bool older = (in.next() & 1) != 0;
  const uint64_t high = in.next();
  const uint64_t half = SMALLEST_HALF + 2 * (high << 8 | in.next());
  const std::vector<piece_t> pieces = read_pieces(in, half);

  g_ws_t ws;
  ws.version = older ? DRAFT76 : RFC6455;
  const bytes wire = framer_t(ws, half, older).run(pieces);
  if (older)
    require(decode_older(wire) == older_messages(pieces));
  else
    check_frames(decode_rfc6455(wire), pieces);
  return 0;
}
