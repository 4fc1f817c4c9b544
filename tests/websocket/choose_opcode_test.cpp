#include "websocket/g_ws.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct opcode_case {
  const char *name;
  std::vector<std::string> payloads;
  std::vector<int32_t> opcodes;
};

class choose_opcode_test : public testing::TestWithParam<opcode_case> {};

std::string case_name(const testing::TestParamInfo<opcode_case> &param) {
  return param.param.name;
}

// Payloads go out one after another to one client: each is typed by itself,
// so one binary payload leaves the next text.
TEST_P(choose_opcode_test, payload_sequence) {
  const opcode_case &c = GetParam();
  ASSERT_EQ(c.payloads.size(), c.opcodes.size());
  for (size_t i = 0; i < c.payloads.size(); ++i) {
    const std::string &p = c.payloads[i];
    EXPECT_EQ(choose_opcode(reinterpret_cast<const uint8_t *>(p.data()), p.size()), c.opcodes[i]) << "payload " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(text, choose_opcode_test,
                         testing::Values(opcode_case{"ascii", {"hello", "world"}, {1, 1}},
                                         opcode_case{"e_acute", {"caf\xC3\xA9"}, {1}},
                                         opcode_case{"euro", {"\xE2\x82\xAC 5"}, {1}},
                                         opcode_case{"ascii_then_two_byte", {"abc", "\xC3\xA9"}, {1, 1}},
                                         opcode_case{"last_before_surrogates", {"\xED\x9F\xBF"}, {1}},
                                         opcode_case{"four_byte_from_U40000", {"\xF1\x80\x80\x80"}, {1}},
                                         opcode_case{"highest_code_point", {"\xF4\x8F\xBF\xBF"}, {1}},
                                         opcode_case{"nul_byte", {std::string("a\0b", 3)}, {1}},
                                         opcode_case{"arabic", {"\xD8\xA7", "abc"}, {1, 1}},
                                         opcode_case{"U0800", {"\xE0\xA0\x80"}, {1}},
                                         opcode_case{"emoji", {"\xF0\x9F\x98\x80"}, {1}}),
                         case_name);

INSTANTIATE_TEST_SUITE_P(
    binary, choose_opcode_test,
    testing::Values(
        opcode_case{"character_split_between_payloads", {"\xE2\x82", "\xAC", "abc"}, {2, 2, 1}},
        opcode_case{"ends_inside_a_character", {"ab\xC3"}, {2}},
        opcode_case{"starts_with_continuation", {"\200abc", "abc"}, {2, 1}},
        opcode_case{"extra_continuation", {"\xC3\xA9\xA9"}, {2}}, opcode_case{"lead_then_ascii", {"\303a"}, {2}},
        opcode_case{"lead_C0", {"\xC0\x80"}, {2}}, opcode_case{"lead_C1_overlong", {"\xC1\xBF"}, {2}},
        opcode_case{"overlong_three_byte", {"\xE0\x80\xAF"}, {2}},
        opcode_case{"overlong_four_byte", {"\xF0\x80\x80\xAF"}, {2}}, opcode_case{"surrogate", {"\xED\xA0\x80"}, {2}},
        opcode_case{"above_U10FFFF", {"\xF4\x90\x80\x80"}, {2}}, opcode_case{"lead_F5", {"\xF5\x80\x80\x80"}, {2}},
        opcode_case{"lead_F7", {"\xF7\x80\x80\x80"}, {2}}, opcode_case{"byte_FF_alone", {"\xFF", "abc"}, {2, 1}},
        opcode_case{"older_close_marker", {std::string("\0\xFF", 2)}, {2}},
        opcode_case{"text_then_invalid_then_text", {"ok", "\xC1\x81", "ok"}, {1, 2, 1}}),
    case_name);

} // namespace
