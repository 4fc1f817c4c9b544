#include "websocket/g_ws.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// The worked example of RFC 6455.
const std::string SAMPLE_KEY = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string SAMPLE_ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string rfc_response(const std::string &accept, const std::string &protocol = "") {
  std::string text = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Accept: " +
                     accept + "\r\n";
  if (!protocol.empty()) {
    text += "Sec-WebSocket-Protocol: " + protocol + "\r\n";
  }
  return text + "\r\n";
}

std::string rfc_request(const std::string &key_line, const std::string &extra = "") {
  return "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + key_line +
         "Origin: http://example.com\r\n" + extra + "Sec-WebSocket-Version: 13\r\n\r\n";
}

// The draft-76 worked example: its two keys and final 8 bytes give the
// digest "fQJ,fN/4F4!~K~MH".
std::string draft_request(const std::string &key1 = "18x 6]8vM;54 *(5:  {   U1]8  z [  8",
                          const std::string &key2 = "1_ tx7X d  <  nw  334J702) 7]o}` 0",
                          const std::string &origin_line = "Origin: http://example.com\r\n",
                          const std::string &host_line = "Host: example.com\r\n") {
  return "GET /demo HTTP/1.1\r\n" + host_line + "Connection: Upgrade\r\nSec-WebSocket-Key2: " + key2 +
         "\r\nUpgrade: WebSocket\r\nSec-WebSocket-Key1: " + key1 + "\r\n" + origin_line + "\r\nTm[K T2u";
}

std::string draft_response(const std::string &origin, const std::string &host, const std::string &digest) {
  return "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Origin: " +
         origin + "\r\nSec-WebSocket-Location: ws://" + host +
         "/\r\nSec-WebSocket-Protocol: dumb-increment-protocol\r\n\r\n" + digest;
}

struct outcome {
  int64_t result;
  std::string response;
  uint32_t version;
};

// Runs one handshake the way the accept loop does: a NUL after the request
// and a zero-filled response buffer, of which nothing past the response may
// change.
outcome run(const std::string &request) {
  std::vector<uint8_t> buffer(request.begin(), request.end());
  buffer.push_back(0);
  std::vector<char> header(WS_HEADER_SERVER_SIZE, 0);
  g_ws_t ws;
  const int64_t result = ws.handshake(buffer.data(), request.size(), header.data());
  const uint64_t used = result > 0 ? static_cast<uint64_t>(result) : 0;
  for (uint64_t i = used; i < header.size(); ++i) {
    EXPECT_EQ(header[i], 0) << "byte " << i << " written past the response";
  }
  return {result, std::string(header.data(), used), ws.version.load()};
}

struct handshake_case {
  const char *name;
  std::string request;
  int64_t result;
  // The response up to the draft-76 digest, or all of it when `digest_known`.
  std::string head;
  bool digest_known;
  uint32_t version;
};

class handshake_test : public testing::TestWithParam<handshake_case> {};

TEST_P(handshake_test, answers_the_request) {
  const handshake_case &c = GetParam();
  const outcome o = run(c.request);
  EXPECT_EQ(o.result, c.result);
  EXPECT_EQ(o.version, c.version);
  if (c.digest_known || o.result <= 0) {
    EXPECT_EQ(o.response, c.head);
  } else {
    EXPECT_EQ(o.result, static_cast<int64_t>(c.head.size() + 16));
    EXPECT_EQ(o.response.substr(0, c.head.size()), c.head);
  }
}

const std::string SAMPLE_RESPONSE = rfc_response(SAMPLE_ACCEPT);
const std::string DRAFT_SAMPLE_RESPONSE = draft_response("http://example.com", "example.com", "fQJ,fN/4F4!~K~MH");
const std::string LONG_VALUE(127, 'o');

int64_t draft_length(const std::string &origin, const std::string &host) {
  return static_cast<int64_t>(draft_response(origin, host, "").size() + 16);
}

std::string case_name(const testing::TestParamInfo<handshake_case> &info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    rfc6455, handshake_test,
    testing::Values(
        handshake_case{"sample_key", rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n"), 129, SAMPLE_RESPONSE,
                       true, 13},
        handshake_case{
            "first_protocol_token",
            rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n", "Sec-WebSocket-Protocol: chat, super\r\n"), 159,
            rfc_response(SAMPLE_ACCEPT, "chat"), true, 13},
        handshake_case{"protocol_token_ends_at_comma",
                       rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n", "Sec-WebSocket-Protocol:a,b\r\n"), 156,
                       rfc_response(SAMPLE_ACCEPT, "a"), true, 13},
        handshake_case{"key_ends_at_blank", rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + " trailing\r\n"), 129,
                       SAMPLE_RESPONSE, true, 13},
        handshake_case{"key_ends_at_high_byte", rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + "\xC3\xA9\r\n"), 129,
                       SAMPLE_RESPONSE, true, 13},
        handshake_case{"key_ends_at_request_end", "GET / HTTP/1.1\r\nSec-WebSocket-Key:  " + SAMPLE_KEY, 129,
                       SAMPLE_RESPONSE, true, 13},
        handshake_case{"empty_key_takes_next_line", rfc_request("Sec-WebSocket-Key:\r\n\t" + SAMPLE_KEY + "\r\n"), 129,
                       SAMPLE_RESPONSE, true, 13},
        handshake_case{"key_of_one_byte", rfc_request("Sec-WebSocket-Key: x\r\n"), 129,
                       rfc_response("JVxkmtKFjDcI/Pm/AGPEKSN6wT8="), true, 13},
        handshake_case{"both_forms_take_rfc6455", draft_request() + "\r\nSec-WebSocket-Key: " + SAMPLE_KEY + "\r\n",
                       129, SAMPLE_RESPONSE, true, 13},
        handshake_case{"key_name_inside_a_value",
                       rfc_request("Cookie: a=Sec-WebSocket-Key: forged\r\nSec-WebSocket-Key: " + SAMPLE_KEY + "\r\n"),
                       129, SAMPLE_RESPONSE, true, 13},
        handshake_case{"lower_case_names", rfc_request("sec-websocket-key: " + SAMPLE_KEY + "\r\n"), 129,
                       SAMPLE_RESPONSE, true, 13},
        handshake_case{"empty_protocol_gives_no_line",
                       rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n", "Sec-WebSocket-Protocol:\r\n"), 129,
                       SAMPLE_RESPONSE, true, 13},
        handshake_case{"blank_protocol_gives_no_line",
                       rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n", "sec-websocket-protocol:  \r\n"), 129,
                       SAMPLE_RESPONSE, true, 13},
        // Nothing after the name up to the request's end but line ends.
        handshake_case{"empty_protocol_as_last_header",
                       "GET / HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Key: " + SAMPLE_KEY +
                           "\r\nSec-WebSocket-Protocol:\r\n\r\n",
                       129, SAMPLE_RESPONSE, true, 13}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    draft76, handshake_test,
    testing::Values(
        handshake_case{"sample", draft_request(), static_cast<int64_t>(DRAFT_SAMPLE_RESPONSE.size()),
                       DRAFT_SAMPLE_RESPONSE, true, 8},
        handshake_case{"origin_only_at_a_line_start",
                       draft_request("1 2", "3 4", "Sec-WebSocket-Origin: http://first\r\nOrigin: http://second\r\n"),
                       draft_length("http://second", "example.com"), draft_response("http://second", "example.com", ""),
                       false, 8},
        handshake_case{"host_after_forwarded_host",
                       draft_request("1 2", "3 4", "Origin: o\r\n", "X-Forwarded-Host: proxy\r\nHost: example.com\r\n"),
                       draft_length("o", "example.com"), draft_response("o", "example.com", ""), false, 8},
        handshake_case{"origin_of_127_bytes", draft_request("1 2", "3 4", "Origin: " + LONG_VALUE + "\r\n"),
                       draft_length(LONG_VALUE, "example.com"), draft_response(LONG_VALUE, "example.com", ""), false,
                       8},
        handshake_case{"missing_host", draft_request("1 2", "3 4", "Origin: o\r\n", "X: y\r\n"), 0, "", true, 0},
        handshake_case{"missing_origin", draft_request("1 2", "3 4", "", "Host: h\r\n"), 0, "", true, 0},
        handshake_case{"key1_without_space", draft_request("12", "3 4"), 0, "", true, 0},
        handshake_case{"key2_without_space", draft_request("1 2", "34"), 0, "", true, 0},
        handshake_case{"origin_of_128_bytes_refused", draft_request("1 2", "3 4", "Origin: " + LONG_VALUE + "o\r\n"), 0,
                       "", true, 0},
        handshake_case{"host_of_128_bytes_refused",
                       draft_request("1 2", "3 4", "Origin: o\r\n", "Host: " + LONG_VALUE + "h\r\n"), 0, "", true, 0},
        handshake_case{"key_of_128_digits_refused", draft_request(std::string(128, '0') + " ", "3 4"), 0, "", true, 0}),
    case_name);

// Requests whose key numbers differ but whose quotients agree must get the
// same digest; a different quotient must change it.
TEST(handshake, key_numbers_divide_and_saturate) {
  struct {
    std::string key1;
    std::string same_as;
  } cases[] = {
      {"1 1 ", "5 "},                       // 11 / 2, the remainder dropped
      {"  7 ", "7 "},                       // blanks before the value are not counted
      {"99999999999 ", "4294967295 "},      // above 2^32 - 1 saturates
      {"42949672960000 ", "4294967295 "},   // far above
      {std::string(126, '0') + "7 ", "7 "}, // 127 digits fit the field
  };
  const std::string other = run(draft_request("4294967294 ")).response;
  for (const auto &c : cases) {
    const outcome a = run(draft_request(c.key1));
    const outcome b = run(draft_request(c.same_as));
    ASSERT_GT(a.result, 0) << c.key1;
    EXPECT_EQ(a.response, b.response) << c.key1;
    EXPECT_NE(a.response, other) << c.key1;
  }
}

// Inputs cut at byte 1, at half and at n - 1.
TEST(handshake, truncated_requests) {
  const std::string rfc = rfc_request("Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n");
  const std::string draft = draft_request();
  struct {
    std::string request;
    int64_t result;
    std::string response;
  } cases[] = {
      {rfc.substr(0, 1), 0, ""},
      {rfc.substr(0, rfc.size() / 2), 0, ""},
      {rfc.substr(0, rfc.size() - 1), 129, SAMPLE_RESPONSE},
      {draft.substr(0, 1), 0, ""},
      {draft.substr(0, draft.size() / 2), 0, ""},
  };
  for (const auto &c : cases) {
    const outcome o = run(c.request);
    EXPECT_EQ(o.result, c.result) << c.request.size();
    EXPECT_EQ(o.response, c.response) << c.request.size();
  }
  // One key byte fewer at the end changes the challenge but not the form.
  const outcome cut = run(draft.substr(0, draft.size() - 1));
  ASSERT_EQ(cut.result, static_cast<int64_t>(DRAFT_SAMPLE_RESPONSE.size()));
  EXPECT_NE(cut.response, DRAFT_SAMPLE_RESPONSE);
  EXPECT_EQ(cut.response.substr(0, cut.response.size() - 16),
            DRAFT_SAMPLE_RESPONSE.substr(0, DRAFT_SAMPLE_RESPONSE.size() - 16));
}

TEST(base64_encode, rfc4648_vectors) {
  struct {
    const char *input;
    const char *output;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"},
               {"\xFF\xFE\xFD", "//79"}};
  for (const auto &c : cases) {
    char out[16];
    std::memset(out, 'x', sizeof(out));
    const int64_t length = static_cast<int64_t>(std::strlen(c.input));
    const int64_t count = base64_encode(reinterpret_cast<const uint8_t *>(c.input), length, out);
    EXPECT_EQ(count, static_cast<int64_t>(std::strlen(c.output))) << c.input;
    EXPECT_STREQ(out, c.output);
  }
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t *>("abc"), -1, out), 0);
  EXPECT_EQ(out[0], '\0');
}

} // namespace
