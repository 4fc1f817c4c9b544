#include "websocket/opening_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "websocket/g_ws.h"

namespace {

const std::string RFC_REQUEST = "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Origin: http://example.com\r\nSec-WebSocket-Version: 13\r\n\r\n";
// What the answer reads of it.
const std::string RFC_KEPT = "GET /chat HTTP/1.1\r\nHost: server.example.com\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://example.com\r\n\r\n";
const std::string DRAFT_REQUEST = "GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Key2: 1_ tx7X d  <  nw  334J702) 7]o}` 0\r\nUpgrade: WebSocket\r\n"
                                  "Sec-WebSocket-Key1: 18x 6]8vM;54 *(5:  {   U1]8  z [  8\r\n"
                                  "Origin: http://example.com\r\n\r\nTm[K T2u";
const std::string DRAFT_KEPT = "GET /demo HTTP/1.1\r\nHost: example.com\r\n"
                               "Sec-WebSocket-Key2: 1_ tx7X d  <  nw  334J702) 7]o}` 0\r\n"
                               "Sec-WebSocket-Key1: 18x 6]8vM;54 *(5:  {   U1]8  z [  8\r\n"
                               "Origin: http://example.com\r\n\r\nTm[K T2u";

// A request whose head is `size` bytes long, a cookie making up the rest.
std::string request_of_size(uint64_t size) {
  const std::string start = "GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nCookie: ";
  const std::string end = "\r\n\r\n";
  return start + std::string(size - start.size() - end.size(), 'c') + end;
}

struct result {
  request_state_t state;
  // Bytes the request took, over all reads.
  uint64_t used;
  std::string kept;
  bool request_line;
};

// Reads `bytes` in pieces that end at each of `cuts`, as receives would.
result read_cut(const std::string &bytes, const std::vector<uint64_t> &cuts) {
  ws_request_t request;
  result r{};
  uint64_t from = 0;
  std::vector<uint64_t> ends = cuts;
  ends.push_back(bytes.size());
  for (uint64_t to : ends) {
    r.used += request.read(reinterpret_cast<const uint8_t *>(bytes.data()) + from, to - from);
    from = to;
  }
  r.state = request.state();
  r.request_line = request.is_request_line();
  if (r.state == request_state_t::whole) {
    r.kept.assign(reinterpret_cast<const char *>(request.kept()), request.kept_size());
    EXPECT_EQ(request.kept()[request.kept_size()], 0);
  }
  return r;
}

struct request_case {
  const char *name;
  std::string bytes;
  request_state_t state;
  // For a whole request: its length in `bytes` and what is kept of it.
  uint64_t used;
  std::string kept;
  bool request_line;
};

const request_case CASES[] = {
    {"rfc6455", RFC_REQUEST, request_state_t::whole, RFC_REQUEST.size(), RFC_KEPT, true},
    {"frames_behind", RFC_REQUEST + "\x81\x80", request_state_t::whole, RFC_REQUEST.size(), RFC_KEPT, true},
    {"draft76_with_key_bytes", DRAFT_REQUEST + "more", request_state_t::whole, DRAFT_REQUEST.size(), DRAFT_KEPT, true},
    {"draft76_key_bytes_missing", DRAFT_REQUEST.substr(0, DRAFT_REQUEST.size() - 1), request_state_t::partial, 0, "",
     true},
    {"no_empty_line", RFC_REQUEST.substr(0, RFC_REQUEST.size() - 2), request_state_t::partial, 0, "", true},
    {"lower_case_names", "GET / HTTP/1.1\r\nsec-websocket-key: k\r\nx-forwarded-host: a\r\nhost: b\r\n\r\n",
     request_state_t::whole, 0, "GET / HTTP/1.1\r\nsec-websocket-key: k\r\nhost: b\r\n\r\n", true},
    {"largest_head", request_of_size(WS_REQUEST_HEAD_MAX), request_state_t::whole, WS_REQUEST_HEAD_MAX,
     "GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n", true},
    {"head_one_byte_too_long", request_of_size(WS_REQUEST_HEAD_MAX + 1), request_state_t::too_large, 0, "", true},
    {"kept_line_too_long", "GET / HTTP/1.1\r\nOrigin: " + std::string(WS_REQUEST_LINE_MAX, 'o') + "\r\n\r\n",
     request_state_t::unfit, 0, "", true},
    // The room runs out 5 bytes into the Key1 line, whose name it cannot hold.
    {"kept_room_runs_out",
     "GET / HTTP/1.1\r\n" +
         [] {
           std::string lines;
           for (int i = 0; i < 4; ++i)
             lines += "Origin: " + std::string(490, 'o') + "\r\n";
           return lines + "Origin: " + std::string(17, 'o') + "\r\n";
         }() +
         "Sec-WebSocket-Key1: 1 2\r\n\r\n12345678",
     request_state_t::unfit, 0, "", true},
    {"long_target_kept_cut", "GET /" + std::string(WS_REQUEST_LINE_MAX, 't') + " HTTP/1.1\r\nHost: h\r\n\r\n",
     request_state_t::whole, 0, "GET /" + std::string(WS_REQUEST_LINE_MAX - 7, 't') + "\r\nHost: h\r\n\r\n", true},
    {"text_line_not_a_request", "GET /status\nHost: h\r\n\r\n", request_state_t::whole, 0, "", false},
    {"http2_is_not_http1", "GET / HTTP/2.0\r\n\r\n", request_state_t::whole, 0, "", false},
};

class OpeningRequest : public ::testing::TestWithParam<request_case> {};

// The outcome does not depend on where the receives cut the stream.
TEST_P(OpeningRequest, ReadsTheSameWhereverTheStreamIsCut) {
  const request_case &c = GetParam();
  const uint64_t n = c.bytes.size();
  const std::vector<std::vector<uint64_t>> cuttings = {{}, {1}, {n / 2}, {n - 1}, {1, 2, 3, 4, 5, n - 8, n - 2}};
  for (const auto &cuts : cuttings) {
    const result r = read_cut(c.bytes, cuts);
    EXPECT_EQ(r.state, c.state) << "cuts " << cuts.size();
    EXPECT_EQ(r.request_line, c.request_line);
    if (c.state == request_state_t::whole && !c.kept.empty()) {
      EXPECT_EQ(r.kept, c.kept);
    }
    if (c.used != 0) {
      EXPECT_EQ(r.used, c.used);
    }
  }
  // Every cut of the short requests; the long ones are cut as above.
  for (uint64_t cut = 1; n < 1024 && cut < n; ++cut)
    EXPECT_EQ(read_cut(c.bytes, {cut}).state, c.state) << "cut at " << cut;
}

INSTANTIATE_TEST_SUITE_P(Table, OpeningRequest, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<request_case> &p) { return p.param.name; });

// What is kept is answered as the whole request would be.
TEST(OpeningRequest, KeptRequestGetsTheWholeRequestsAnswer) {
  for (const std::string &whole : {RFC_REQUEST, DRAFT_REQUEST}) {
    ws_request_t request;
    request.read(reinterpret_cast<const uint8_t *>(whole.data()), whole.size());
    ASSERT_EQ(request.state(), request_state_t::whole);
    g_ws_t from_kept;
    g_ws_t from_whole;
    char kept_answer[WS_HEADER_SERVER_SIZE] = {};
    char whole_answer[WS_HEADER_SERVER_SIZE] = {};
    const int64_t kept_size = from_kept.handshake(request.kept(), request.kept_size(), kept_answer);
    const int64_t whole_size =
        from_whole.handshake(reinterpret_cast<const uint8_t *>(whole.c_str()), whole.size(), whole_answer);
    ASSERT_GT(whole_size, 0);
    EXPECT_EQ(std::string(kept_answer, kept_size), std::string(whole_answer, whole_size));
  }
}

} // namespace
