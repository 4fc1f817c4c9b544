// The client-stream decoder driven as the reader drives it: the stream comes
// in receives of fuzzer-chosen sizes into a heap buffer of exactly the
// reader's size (WS_FRONT_ROOM, then the receive limit less that room, which
// is the capacity), the bytes of a frame the decoder waits for are moved to
// the front and the next receive lands behind them, and the decoder's state
// carries from one receive to the next. The decoder has no connection: the
// pongs and close frames it sends fail without a socket and change nothing.
//
// Every piece lies in the buffer, its bytes among those used by the call
// that gave it (or the front room), and holds them until the receive's
// pieces are relayed; the bytes just past those received stay. A piece opens a
// message exactly when none is open, goes on its type, is empty only when it
// ends it; a text piece is whole, valid UTF-8 (checked by the harnesses' own
// validator). 0 is returned only while the bytes left fit the capacity.
// After a negative result the framing is closed and nothing more comes.
//
// Input: a settings byte (bit 0 the mode, bit 1 the older framing, bits 2-3
// the packet length, bit 4 a closing frame at the end of a built stream), a
// count of receive sizes and those sizes (0 fills the room), then
//   mode 0: the stream itself, decoded by an independent model written from
//     RFC 6455 (and the older framing): the same messages in the same types,
//     each whole one whole and the open one a prefix, the same end; of a
//     refused frame, or a failing one the buffer holds whole, no byte passes;
//   mode 1: messages built from the bytes (text made valid UTF-8 with 1- to
//     4-byte characters, split into fragments anywhere, pings and pongs in
//     between, each frame masked with its own key) and framed by an encoder
//     written here: exactly those messages come out, and no error.
#include "websocket/g_ws.h"

#include "fuzz_input.h"

#include "utf8_reference.h"

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
constexpr uint64_t PACKET_LENGTHS[] = {256, 1000, 4096, 65507};
// Bytes behind the received ones watched for writes.
constexpr uint64_t WATCHED = 16;
constexpr uint8_t MARK = 0xFE;
constexpr size_t MAX_CUTS = 32;
// Receives of chosen sizes; later ones fill the room, so that a long stream
// in small receives still ends soon.
constexpr size_t CHOSEN_RECEIVES = 1024;
constexpr size_t MAX_MESSAGES = 16;
// Room for one frame past the 16-bit length form.
constexpr uint64_t PAYLOAD_BUDGET = 72 * 1024;

constexpr uint8_t OP_CONTINUATION = 0x0;
constexpr uint8_t OP_CLOSE = 0x8;
constexpr uint8_t OP_PING = 0x9;
constexpr uint8_t OP_PONG = 0xA;

struct message_t {
  uint8_t type{};
  bytes data;
  bool whole{};
};

struct settings_t {
  bool built{};
  uint32_t version{};
  uint64_t packet_length{};
  bool close_at_end{};
  bytes cuts;
};

settings_t read_settings(input_t &in) {
  const uint8_t flags = in.next();
  settings_t s;
  s.built = (flags & 1) != 0;
  s.version = (flags & 2) != 0 ? DRAFT76 : RFC6455;
  s.packet_length = PACKET_LENGTHS[flags >> 2 & 3];
  s.close_at_end = (flags & 0x10) != 0;
  s.cuts = in.take(in.next() % (MAX_CUTS + 1));
  return s;
}

// What the decoder made of a stream: the messages as the receivers would
// join them and the negative result that ended it, if any.
struct outcome_t {
  std::vector<message_t> messages;
  int64_t end{};
};

// A piece as the decoder gave it, and where its bytes went.
struct held_t {
  const uint8_t *data;
  uint64_t size;
  size_t message;
  size_t offset;
};

// The reader's receive loop and relay_received over one stream.
class reader_t {
public:
  reader_t(g_ws_t &decoder, const settings_t &s)
      : ws(decoder), cuts(s.cuts), older(s.version == DRAFT76), receive_limit(s.packet_length - WS_FRAME_ROOM),
        capacity(receive_limit - WS_FRONT_ROOM), base(new uint8_t[receive_limit]), buffer(base.get() + WS_FRONT_ROOM) {}

  outcome_t run(const bytes &stream) {
    uint64_t kept = 0;
    uint64_t at = 0;
    while (at < stream.size()) {
      const uint64_t n = receive_size(capacity - kept, stream.size() - at);
      std::memset(base.get(), MARK, WS_FRONT_ROOM);
      std::memcpy(buffer + kept, stream.data() + at, n);
      at += n;
      const uint64_t total = kept + n;
      const uint64_t watched = std::min(WATCHED, capacity - total);
      std::memset(buffer + total, MARK, watched);
      const int64_t left = relay_received(buffer, total);
      require(std::all_of(buffer + total, buffer + total + watched, [](uint8_t b) { return b == MARK; }));
      if (left < 0) {
        closed_after_end();
        return out;
      }
      kept = static_cast<uint64_t>(left);
      std::memmove(buffer, buffer + total - kept, kept);
    }
    return out;
  }

private:
  uint64_t receive_size(uint64_t room, uint64_t left) {
    require(room >= 1);
    uint64_t want = room;
    if (!cuts.empty() && receives < CHOSEN_RECEIVES) {
      const uint8_t c = cuts[receives++ % cuts.size()];
      want = c == 0 ? room : (c < 0xC0 ? c : (c - 0xBFu) * 1021u);
    }
    return std::min({want, room, left});
  }

  int64_t relay_received(uint8_t *data, uint64_t n) {
    batch.clear();
    int64_t result = 0;
    while (n != 0) {
      ws_piece_t piece;
      const int64_t used = ws.decrypt(data, n, capacity, &piece);
      if (used < 0) {
        out.end = used;
        result = -1;
        break;
      }
      if (used == 0) {
        require(piece.data == nullptr && n < capacity);
        break;
      }
      require(static_cast<uint64_t>(used) <= n);
      if (piece.data != nullptr)
        batch.push_back(take_piece(piece, data + used));
      data += used;
      n -= static_cast<uint64_t>(used);
    }
    for (const held_t &held : batch) {
      const bytes &joined = out.messages[held.message].data;
      require(std::equal(held.data, held.data + held.size, joined.begin() + static_cast<ptrdiff_t>(held.offset)));
    }
    return result < 0 ? result : static_cast<int64_t>(n);
  }

  // Checks a piece whose call used the bytes up to `used_end`, and files it
  // under its message.
  held_t take_piece(const ws_piece_t &piece, const uint8_t *used_end) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(piece.data);
    require(start >= reinterpret_cast<uintptr_t>(base.get()) && start <= reinterpret_cast<uintptr_t>(used_end) &&
            piece.size <= reinterpret_cast<uintptr_t>(used_end) - start);
    require(piece.type == WS_TEXT || (piece.type == WS_BINARY && !older));
    require(piece.size != 0 || piece.last);
    const bool open = !out.messages.empty() && !out.messages.back().whole;
    require(piece.first ? !open : open && out.messages.back().type == piece.type);
    if (piece.type == WS_TEXT)
      require(valid_utf8(piece.data, piece.size));
    if (piece.first)
      out.messages.push_back({piece.type, {}, false});
    message_t &m = out.messages.back();
    const held_t held{piece.data, piece.size, out.messages.size() - 1, m.data.size()};
    m.data.insert(m.data.end(), piece.data, piece.data + piece.size);
    m.whole = piece.last != 0;
    return held;
  }

  void closed_after_end() {
    require(ws.version == 0);
    ws_piece_t piece;
    require(ws.decrypt(buffer, 1, capacity, &piece) == WS_DECODE_CLOSED && piece.data == nullptr);
  }

  g_ws_t &ws;
  const bytes &cuts;
  const bool older;
  const uint64_t receive_limit;
  const uint64_t capacity;
  std::unique_ptr<uint8_t[]> base;
  uint8_t *const buffer;
  size_t receives = 0;
  std::vector<held_t> batch;
  outcome_t out;
};

// --- The model of a stream of arbitrary bytes ---

struct expected_t {
  std::vector<message_t> messages;
  int64_t end{};
  // How many bytes of the open message may have passed: all of them, or
  // none of a frame that failed while the buffer held it whole.
  uint64_t passable{};
};

uint64_t big_endian(const uint8_t *p, int n) {
  uint64_t value = 0;
  for (int i = 0; i < n; ++i)
    value = value << 8 | p[i];
  return value;
}

// RFC 6455 section 5: the frame header fields a client's frame carries.
struct header_t {
  bool fin;
  uint8_t rsv;
  uint8_t op;
  bool masked;
  // The header's own bytes, and the payload's.
  uint64_t size;
  uint64_t length;
  const uint8_t *mask;
};

// The header at `p` when the `n` bytes hold all of it.
bool parse_header(const uint8_t *p, uint64_t n, header_t *h) {
  if (n < 2)
    return false;
  const uint8_t l7 = p[1] & 0x7F;
  const int extended = l7 == 126 ? 2 : (l7 == 127 ? 8 : 0);
  h->masked = (p[1] & 0x80) != 0;
  h->size = 2 + static_cast<uint64_t>(extended) + (h->masked ? 4 : 0);
  if (n < h->size)
    return false;
  h->fin = (p[0] & 0x80) != 0;
  h->rsv = p[0] & 0x70;
  h->op = p[0] & 0x0F;
  h->length = extended == 0 ? l7 : big_endian(p + 2, extended);
  h->mask = p + h->size - 4;
  return true;
}

bool is_control(uint8_t op) {
  return op >= OP_CLOSE;
}

// No extension is agreed, a client masks, the length has its top bit clear,
// a control frame is final and at most 125 bytes, and a continuation belongs
// to a message while a new message waits for the last to end.
bool refused(const header_t &h, bool open) {
  const bool known = h.op <= WS_BINARY || h.op == OP_CLOSE || h.op == OP_PING || h.op == OP_PONG;
  return h.rsv != 0 || !known || !h.masked || (h.length >> 63) != 0 ||
         (is_control(h.op) && (!h.fin || h.length > 125)) || (h.op == OP_CONTINUATION && !open) ||
         (!is_control(h.op) && h.op != OP_CONTINUATION && open);
}

class rfc6455_model_t {
public:
  rfc6455_model_t(const bytes &s, uint64_t c) : stream(s), capacity(c) {}

  expected_t run() {
    while (frame())
      ;
    if (!ended)
      e.passable = open ? e.messages.back().data.size() : 0;
    return e;
  }

private:
  // Takes the frame at `at`; false when the stream ends or ends the
  // connection inside it.
  bool frame() {
    header_t h;
    if (!parse_header(stream.data() + at, stream.size() - at, &h))
      return false;
    if (refused(h, open))
      return end(WS_DECODE_PROTOCOL_ERROR);
    const uint64_t payload_at = at + h.size;
    const uint64_t arrived = std::min<uint64_t>(h.length, stream.size() - payload_at);
    const bool held_whole = h.length <= capacity - h.size;
    if (is_control(h.op)) {
      if (arrived < h.length)
        return false;
      if (h.op == OP_CLOSE)
        return end(WS_DECODE_CLOSED);
      at = payload_at + h.length;
      return true;
    }
    if (h.op != OP_CONTINUATION) {
      e.messages.push_back({h.op, {}, false});
      utf8 = {};
      open = true;
    }
    if (held_whole && arrived < h.length)
      return false;
    const uint64_t before = e.messages.back().data.size();
    for (uint64_t i = 0; i < arrived; ++i) {
      const uint8_t byte = stream[payload_at + i] ^ h.mask[i & 3];
      if (!take(byte))
        return fail_text(held_whole, before);
    }
    if (arrived < h.length)
      return false;
    if (h.fin) {
      if (text() && !utf8.at_boundary())
        return fail_text(held_whole, before);
      e.messages.back().whole = true;
      open = false;
    }
    at = payload_at + h.length;
    return true;
  }

  bool text() const { return e.messages.back().type == WS_TEXT; }

  bool take(uint8_t byte) {
    if (text() && !utf8.feed(byte))
      return false;
    e.messages.back().data.push_back(byte);
    return true;
  }

  // Text that fails in a frame the buffer held whole lets none of the
  // frame's bytes through.
  bool fail_text(bool held_whole, uint64_t before) {
    end(WS_DECODE_INVALID_TEXT);
    if (held_whole)
      e.passable = before;
    return false;
  }

  // The connection ends with `result`. The bytes of a refused frame never
  // reach the model's message; all it holds may have passed.
  bool end(int64_t result) {
    e.end = result;
    ended = true;
    e.passable = open ? e.messages.back().data.size() : 0;
    return false;
  }

  const bytes &stream;
  const uint64_t capacity;
  uint64_t at = 0;
  bool open = false;
  bool ended = false;
  utf8_reference_t utf8;
  expected_t e;
};

// The older framing: 0x00, UTF-8 text, 0xFF; 0xFF 0x00 closes, and so does
// an empty message; any other byte between frames is an error.
expected_t draft76_model(const bytes &stream) {
  expected_t e;
  enum { between, message, closing } state = between;
  utf8_reference_t utf8;
  for (const uint8_t byte : stream) {
    if (state == between) {
      if (byte == 0x00) {
        e.messages.push_back({WS_TEXT, {}, false});
        utf8 = {};
        state = message;
      } else if (byte == 0xFF) {
        state = closing;
      } else {
        e.end = WS_DECODE_PROTOCOL_ERROR;
        break;
      }
    } else if (state == closing) {
      e.end = byte == 0x00 ? WS_DECODE_CLOSED : WS_DECODE_PROTOCOL_ERROR;
      break;
    } else if (byte == 0xFF) {
      message_t &m = e.messages.back();
      if (m.data.empty()) {
        e.messages.pop_back();
        e.end = WS_DECODE_CLOSED;
        break;
      }
      if (!utf8.at_boundary()) {
        e.end = WS_DECODE_INVALID_TEXT;
        break;
      }
      m.whole = true;
      state = between;
    } else {
      if (!utf8.feed(byte)) {
        e.end = WS_DECODE_INVALID_TEXT;
        break;
      }
      e.messages.back().data.push_back(byte);
    }
  }
  const bool open = !e.messages.empty() && !e.messages.back().whole;
  e.passable = open ? e.messages.back().data.size() : 0;
  return e;
}

void check_against_model(const outcome_t &got, const expected_t &e) {
  require(got.end == e.end);
  const size_t whole = static_cast<size_t>(
      std::count_if(e.messages.begin(), e.messages.end(), [](const message_t &m) { return m.whole; }));
  require(got.messages.size() >= whole && got.messages.size() <= e.messages.size());
  for (size_t i = 0; i < got.messages.size(); ++i) {
    const message_t &g = got.messages[i];
    const message_t &m = e.messages[i];
    require(g.type == m.type && g.whole == m.whole);
    if (m.whole) {
      require(g.data == m.data);
    } else {
      require(g.data.size() <= e.passable && std::equal(g.data.begin(), g.data.end(), m.data.begin()));
    }
  }
}

// --- Streams built from well-formed messages ---

// RFC 6455 section 5.2: a client frame, masked with `mask`.
void put_frame(bytes &out, bool fin, uint8_t op, const uint8_t *payload, uint64_t n, const bytes &mask) {
  out.push_back(static_cast<uint8_t>((fin ? 0x80 : 0) | op));
  if (n <= 125) {
    out.push_back(static_cast<uint8_t>(0x80 | n));
  } else {
    const int width = n <= 0xFFFF ? 2 : 8;
    out.push_back(width == 2 ? 0x80 | 126 : 0x80 | 127);
    for (int i = width - 1; i >= 0; --i)
      out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  }
  out.insert(out.end(), mask.begin(), mask.end());
  for (uint64_t i = 0; i < n; ++i)
    out.push_back(payload[i] ^ mask[i & 3]);
}

// RFC 3629 section 3.
void put_utf8(bytes &out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<uint8_t>(0xC0 | cp >> 6));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<uint8_t>(0xE0 | cp >> 12));
    out.push_back(static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<uint8_t>(0xF0 | cp >> 18));
    out.push_back(static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
}

// A code point from three bytes: the top two bits of the first pick its
// encoded length, the rest its place in that range (surrogates skipped).
uint32_t code_point(uint8_t b0, uint8_t b1, uint8_t b2, uint32_t index) {
  static constexpr uint32_t LOW[] = {0, 0x80, 0x800, 0x10000};
  static constexpr uint32_t COUNT[] = {0x80, 0x780, 0xF000, 0x100000};
  const unsigned length = b0 >> 6;
  const uint32_t raw = ((b0 & 0x3Fu) << 16 | static_cast<uint32_t>(b1) << 8 | b2) + index * 0x1Fu;
  const uint32_t cp = LOW[length] + raw % COUNT[length];
  return length == 2 && cp >= 0xD800 ? cp + 0x800 : cp;
}

// A payload of at least `n` bytes from a pattern of input bytes, repeated
// and varied: for text whole characters, so it may run up to 3 bytes over.
bytes make_payload(input_t &in, uint64_t n, bool text) {
  bytes pattern = in.take(text ? 24 : 32);
  if (pattern.empty())
    pattern.push_back('a');
  bytes out;
  out.reserve(n + 3);
  for (uint32_t i = 0; out.size() < n; ++i) {
    if (text) {
      const size_t at = 3 * i;
      put_utf8(out, code_point(pattern[at % pattern.size()], pattern[(at + 1) % pattern.size()],
                               pattern[(at + 2) % pattern.size()], i / 8));
    } else {
      out.push_back(static_cast<uint8_t>(pattern[i % pattern.size()] + i / pattern.size()));
    }
  }
  return out;
}

// A fragment length: up to 240 bytes as it is, up to a few kilobytes past
// the 7-bit length and the smaller capacities in steps of 300, and rarely up
// to past the 16-bit length form.
uint64_t fragment_length(input_t &in, uint64_t *budget) {
  const uint8_t b = in.next();
  uint64_t n = b;
  if (b > 252)
    n = (b - 252u) * 24576u + in.next() * 64u;
  else if (b > 240)
    n = (b - 240u) * 300u + in.next();
  const uint64_t m = std::min(n, *budget);
  *budget -= m;
  return m;
}

// A masking key from the input, zeros past its end.
bytes pad_mask(bytes mask) {
  mask.resize(4, 0);
  return mask;
}

// Pings and pongs with payloads of up to 125 bytes, as many as the input
// asks (up to 2).
void put_controls(bytes &out, input_t &in) {
  for (int count = in.next() % 3; count > 0; --count) {
    const uint8_t kind = in.next();
    const bytes payload = make_payload(in, kind % 126, false);
    put_frame(out, true, (kind & 0x80) != 0 ? OP_PONG : OP_PING, payload.data(), payload.size(), pad_mask(in.take(4)));
  }
}

// One message of 1 to 4 fragments, cut anywhere, even inside a character.
void put_message(bytes &out, input_t &in, std::vector<message_t> &messages, uint64_t *budget) {
  const uint8_t d = in.next();
  const uint8_t type = (d & 1) != 0 ? WS_TEXT : WS_BINARY;
  const unsigned fragments = 1 + (d >> 1) % 4;
  std::vector<uint64_t> lengths;
  uint64_t total = 0;
  for (unsigned k = 0; k < fragments; ++k) {
    lengths.push_back(fragment_length(in, budget));
    total += lengths.back();
  }
  const bytes payload = make_payload(in, total, type == WS_TEXT);
  uint64_t from = 0;
  for (unsigned k = 0; k < fragments; ++k) {
    const bool last = k + 1 == fragments;
    const uint64_t n = last ? payload.size() - from : std::min<uint64_t>(lengths[k], payload.size() - from);
    put_controls(out, in);
    put_frame(out, last, k == 0 ? type : OP_CONTINUATION, payload.data() + from, n, pad_mask(in.take(4)));
    from += n;
  }
  messages.push_back({type, payload, true});
}

// The older framing carries text only, and never an empty message.
void put_older_message(bytes &out, input_t &in, std::vector<message_t> &messages, uint64_t *budget) {
  const bytes payload = make_payload(in, std::max<uint64_t>(1, fragment_length(in, budget)), true);
  out.push_back(0x00);
  out.insert(out.end(), payload.begin(), payload.end());
  out.push_back(0xFF);
  messages.push_back({WS_TEXT, payload, true});
}

void check_built(const settings_t &s, input_t &in) {
  bytes stream;
  std::vector<message_t> messages;
  uint64_t budget = PAYLOAD_BUDGET;
  while (!in.empty() && messages.size() < MAX_MESSAGES) {
    if (s.version == DRAFT76)
      put_older_message(stream, in, messages, &budget);
    else
      put_message(stream, in, messages, &budget);
  }
  if (s.close_at_end) {
    if (s.version == DRAFT76)
      stream.insert(stream.end(), {0xFF, 0x00});
    else
      put_frame(stream, true, OP_CLOSE, nullptr, 0, {1, 2, 3, 4});
  }
  g_ws_t ws;
  ws.version = s.version;
  const outcome_t got = reader_t(ws, s).run(stream);
  require(got.end == (s.close_at_end ? WS_DECODE_CLOSED : 0));
  require(got.messages.size() == messages.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    require(got.messages[i].type == messages[i].type && got.messages[i].whole);
    require(got.messages[i].data == messages[i].data);
  }
}

void check_arbitrary(const settings_t &s, input_t &in) {
  const bytes stream = in.rest();
  g_ws_t ws;
  ws.version = s.version;
  reader_t reader(ws, s);
  const outcome_t got = reader.run(stream);
  const uint64_t capacity = s.packet_length - WS_FRAME_ROOM - WS_FRONT_ROOM;
  check_against_model(got, s.version == DRAFT76 ? draft76_model(stream) : rfc6455_model_t(stream, capacity).run());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  input_t in(data, size);
  const settings_t s = read_settings(in);
  if (s.built)
    check_built(s, in);
  else
    check_arbitrary(s, in);
  return 0;
}
