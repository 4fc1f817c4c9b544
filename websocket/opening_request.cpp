#include "websocket/opening_request.h"

#include <cstring>

#include "websocket/g_ws.h"

namespace {

constexpr char HEAD_END[] = "\r\n\r\n";
constexpr uint64_t HEAD_END_SIZE = sizeof(HEAD_END) - 1;
constexpr char REQUEST_START[] = "GET ";
constexpr char VERSION_START[] = " HTTP/1.";
constexpr uint64_t VERSION_START_SIZE = sizeof(VERSION_START) - 1;
constexpr char LINE_END[] = "\r\n";

bool ends_with(const uint8_t *recent, uint64_t size, const char *text, uint64_t length) {
  return std::memcmp(recent + size - length, text, length) == 0;
}

// "GET <target> HTTP/1.x" and its line end: the line's start is in `line`,
// its last bytes in `recent`.
bool reads_as_request_line(const uint8_t *line, uint64_t length, const uint8_t (&recent)[12]) {
  const uint64_t start = sizeof(REQUEST_START) - 1;
  // The version's minor digit and the line end follow its start.
  const uint64_t tail = VERSION_START_SIZE + 3;
  const uint8_t *version = recent + sizeof(recent) - tail;
  return length >= start + 1 + tail && std::memcmp(line, REQUEST_START, start) == 0 &&
         std::memcmp(version, VERSION_START, VERSION_START_SIZE) == 0 && version[VERSION_START_SIZE] >= '0' &&
         version[VERSION_START_SIZE] <= '9' && ends_with(recent, sizeof(recent), LINE_END, 2);
}

} // namespace

uint64_t ws_request_t::read(const uint8_t *p, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    if (state_ != request_state_t::partial)
      return i;
    take(p[i]);
  }
  return n;
}

void ws_request_t::take(uint8_t byte) {
  if (key_bytes_left_ != 0) {
    kept_[kept_size_++] = byte;
    if (--key_bytes_left_ == 0)
      end_head();
    return;
  }
  std::memmove(recent_, recent_ + 1, sizeof(recent_) - 1);
  recent_[sizeof(recent_) - 1] = byte;
  ++head_size_;
  // The line is stored as far as it may be kept; what it is, is decided at
  // its end.
  if (line_length_ < WS_REQUEST_LINE_MAX && kept_size_ < WS_REQUEST_KEPT_SIZE)
    kept_[kept_size_++] = byte;
  ++line_length_;
  if (byte == '\n')
    end_line();
  if (state_ == request_state_t::partial && key_bytes_left_ == 0 && head_size_ >= WS_REQUEST_HEAD_MAX)
    state_ = request_state_t::too_large;
}

void ws_request_t::end_line() {
  const uint8_t *line = kept_ + line_start_;
  const uint64_t stored = kept_size_ - line_start_;
  const bool whole_line = stored == line_length_;
  if (!past_first_line_) {
    request_line_ = reads_as_request_line(line, line_length_, recent_);
    // The answer does not read the target: a long one is kept cut.
    if (!whole_line) {
      kept_size_ = line_start_ + stored - 2;
      std::memcpy(kept_ + kept_size_, LINE_END, 2);
      kept_size_ += 2;
    }
  } else if (ends_with(recent_, sizeof(recent_), HEAD_END, HEAD_END_SIZE)) {
    if (!whole_line) {
      state_ = request_state_t::unfit;
      return;
    }
    if (key1_) {
      key_bytes_left_ = WS_REQUEST_KEY_BYTES;
    } else {
      end_head();
    }
  } else if (!whole_line && stored < WS_REQUEST_LINE_MAX) {
    // The kept room ran out inside the line: what it is cannot be told.
    state_ = request_state_t::unfit;
    return;
  } else {
    const header_use_t use = header_use(line, stored);
    if (use == header_use_t::none) {
      kept_size_ = line_start_;
    } else if (!whole_line) {
      state_ = request_state_t::unfit;
      return;
    }
    key1_ = key1_ || use == header_use_t::key1;
  }
  past_first_line_ = true;
  line_start_ = kept_size_;
  line_length_ = 0;
}

void ws_request_t::end_head() {
  kept_[kept_size_] = 0;
  state_ = request_state_t::whole;
}
