#include "shell/console.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct asprint_case {
  size_t size;
  const char *text;
  int result;
  const char *buffer;
};

class Asprint : public ::testing::TestWithParam<asprint_case> {};

TEST_P(Asprint, FitsOrLeavesAnEmptyString) {
  const asprint_case &c = GetParam();
  char buffer[16];
  memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(asprint(buffer, c.size, "%s", c.text), c.result);
  EXPECT_STREQ(buffer, c.buffer);
  EXPECT_EQ(buffer[c.size], 'x') << "wrote beyond the bound";
}

INSTANTIATE_TEST_SUITE_P(Bounds, Asprint,
                         ::testing::Values(asprint_case{8, "1234567", 7, "1234567"},
                                           asprint_case{8, "12345678", -1, ""}, asprint_case{1, "", 0, ""},
                                           asprint_case{1, "a", -1, ""}),
                         [](const ::testing::TestParamInfo<asprint_case> &p) {
                           return "size_" + std::to_string(p.param.size) + "_text_" +
                                  std::to_string(strlen(p.param.text));
                         });

TEST(Asprint, NullOrEmptyBufferFails) {
  EXPECT_EQ(asprint(nullptr, 8, "abc"), -1);
  char buffer[2] = {'x', 'x'};
  EXPECT_EQ(asprint(buffer, 0, "abc"), -1);
  EXPECT_EQ(buffer[0], 'x');
}

TEST(PrintError, ContextLineThenCaretLineWithTheSystemText) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(print_error(10061, nullptr), 10061u);
  EXPECT_EQ(print_error(10054, L"recv(so, p, n, 0)"), 10054u);
  EXPECT_EQ(print_error(0xDEADBEEF, L""), 0xDEADBEEFu);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "   ^ERROR: 10061, No connection could be made because the target machine actively refused it.\r\n"
                 "recv(so, p, n, 0)\n"
                 "   ^ERROR: 10054, An existing connection was forcibly closed by the remote host.\r\n"
                 "\n"
                 "   ^ERROR: 3735928559, (null)");
}

TEST(PrintError, StderrFormGoesToStandardError) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  print_error_stderr(10004, L"accept(so_listen)");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "accept(so_listen)\n   ^ERROR: 10004, A blocking operation was interrupted by a call to "
            "WSACancelBlockingCall.\r\n");
}

} // namespace
