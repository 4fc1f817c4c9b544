#include "relay/detect.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct detect_case {
  const char *name;
  std::string bytes;
  first_bytes_t whole;
  // Prefixes shorter than this stay undecided; from it on they give `whole`.
  size_t decided_at;
};

const detect_case CASES[] = {
    {"client_hello", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc", 9), first_bytes_t::tls, 6},
    {"other_handshake_message", std::string("\x16\x03\x03\x00\x10\x02\x00", 7), first_bytes_t::raw, 6},
    {"websocket_request", "GET /chat HTTP/1.1\r\n", first_bytes_t::websocket_request, 4},
    {"get_without_space", "GETX", first_bytes_t::raw, 4},
    {"other_method", "POST / HTTP/1.1\r\n", first_bytes_t::raw, 1},
    {"lower_case_get", "get / HTTP/1.1\r\n", first_bytes_t::raw, 1},
    {"text_line", "hello\n", first_bytes_t::raw, 1},
    {"nul_first", std::string("\0GET ", 5), first_bytes_t::raw, 1},
    {"g_then_other", "Gx", first_bytes_t::raw, 2},
};

class Detect : public ::testing::TestWithParam<detect_case> {};

TEST_P(Detect, DecidesOnceEnoughBytesAreThere) {
  const detect_case &c = GetParam();
  const auto *bytes = reinterpret_cast<const uint8_t *>(c.bytes.data());
  for (size_t n = 0; n <= c.bytes.size(); ++n) {
    const first_bytes_t expected = n < c.decided_at ? first_bytes_t::undecided : c.whole;
    EXPECT_EQ(detect(bytes, n), expected) << "cut at " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Detect, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<detect_case> &p) { return p.param.name; });

} // namespace
