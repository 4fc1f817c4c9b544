// The command line against the configuration dump, the usage text and the
// result: the table in process, a few rows on the real executable.
#include "shell/config.h"

#include <gtest/gtest.h>

#include <csignal>
#include <openssl/crypto.h>
#include <string>
#include <vector>

#include "support/relay_process.h"
#include "support/temp_dir.h"
#include "tls/server_ctx.h"

namespace {

const std::string DEFAULT_DUMP = ":: config ::\n"
                                 "  print:1, print_once:0, listen:1, write:1, connections:32\n"
                                 "  verbose:1, quiet:0, packet_length_r:4096\n"
                                 "  so_type:1, so_protocol:6\n"
                                 "  addr_local  :81\n"
                                 "  addr_remote :0\n\n"
                                 ":: ------ ::\n";

const std::string REDUCED = "!! G_SOCKET::config()  number of connections reduced to: 32\n\n";

std::string usage_text(const std::string &program) {
  const std::string rule(79, '-');
  return rule + "\n:: Relay data between WebSocket, TCP and TLS clients.\n" + rule + "\n:: usage ::\n\t" + program +
         " <-p listen port>\n\t[-p listen port]\n\t[-c 1 to 32 connections]\n"
         "\t[-L 1472|1405|1422|65112|65507       packet length]\n\n:: example ::\n\t" +
         program + "\n\t" + program + " -p 81\n\n\n";
}

struct config_case {
  const char *name;
  std::vector<std::string> args;
  std::string expected; // a line of the dump, or the whole dump
  bool reduced;         // the reduction message is printed
};

// The output of a run that stops at the usage: the dump (with `c.expected`),
// then the banner and the usage text for `program`, and no listening line.
void expect_dump_then_usage(const std::string &out, const config_case &c, const std::string &program) {
  EXPECT_NE(out.find(c.expected), std::string::npos) << out;
  EXPECT_EQ(out.find(REDUCED) != std::string::npos, c.reduced) << out;
  const size_t banner = out.find(":: WebSocket relay utility  ");
  ASSERT_NE(banner, std::string::npos) << out;
  const size_t banner_end = out.find('\n', banner);
  EXPECT_EQ(out.substr(banner_end + 1), usage_text(program));
  EXPECT_LT(out.find(":: ------ ::\n"), banner);
  EXPECT_EQ(out.find(":: bind("), std::string::npos);
}

// Runs the command line through the configuration and, as the entry does
// when the relay may not run, the usage; returns what they printed. The
// working directory is an empty one, so no certificate is loaded, and the
// TLS context that the configuration sets up is released again.
std::string configure(const std::vector<std::string> &args, int &result) {
  std::vector<std::wstring> wide{L"relayhub"};
  for (const auto &arg : args)
    wide.emplace_back(arg.begin(), arg.end());
  std::vector<wchar_t *> argv;
  for (auto &arg : wide)
    argv.push_back(arg.data());
  temp_dir directory;
  if (!directory.enter())
    return "";
  G_CONFIG config;
  testing::internal::CaptureStdout();
  result = config.config(static_cast<int>(argv.size()), argv.data());
  if (result != 0)
    print_usage(argv[0]);
  const std::string out = testing::internal::GetCapturedStdout();
  tls_context_release();
  return out;
}

class CommandLine : public ::testing::TestWithParam<config_case> {};

// Help or an invalid port: the dump, then the usage text; the relay may not run.
TEST_P(CommandLine, DumpThenUsage) {
  const config_case &c = GetParam();
  int result = 0;
  const std::string out = configure(c.args, result);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out.rfind(OpenSSL_version(OPENSSL_VERSION), 0), 0u) << out;
  expect_dump_then_usage(out, c, "relayhub");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLine,
    ::testing::Values(
        config_case{"help", {"-h"}, DEFAULT_DUMP, false},
        config_case{"long_help_in_any_case", {"--HeLp"}, DEFAULT_DUMP, false},
        config_case{"port_zero", {"-p", "0"}, "  addr_local  :0\n", false},
        config_case{"port_65536_refused", {"-p", "65536"}, "  addr_local  :0\n", false},
        config_case{"port_65537_refused", {"-h", "-p", "65537"}, "  addr_local  :0\n", false},
        config_case{"port_overflowing_the_number_refused", {"-h", "-p", "99999999999"}, "  addr_local  :0\n", false},
        config_case{"port_in_the_same_argument", {"-h", "-p8080"}, "  addr_local  :8080\n", false},
        config_case{"double_dash_port_reads_ort_as_the_value", {"--port", "80"}, "  addr_local  :0\n", false},
        config_case{"option_taken_as_port_value", {"-p", "-c", "5"}, "  addr_local  :0\n", false},
        config_case{"option_taken_as_port_value_is_not_applied", {"-p", "-c", "5"}, "connections:32\n", false},
        config_case{"port_after_help_in_one_argument", {"-hp", "81"}, "  addr_local  :81\n", false},
        config_case{"unknown_options_ignored", {"-h", "-P", "80", "-l", "100", "/p", "80"}, DEFAULT_DUMP, false},
        config_case{"port_without_value", {"-h", "-p"}, "  addr_local  :81\n", false},
        config_case{"length_minus_one", {"-h", "-L", "-1"}, "packet_length_r:18446744073709551615\n", false},
        config_case{"length_zero", {"-h", "-L", "0"}, "packet_length_r:0\n", false},
        config_case{"length_in_the_same_argument", {"-h", "-L1472"}, "packet_length_r:1472\n", false},
        config_case{"connections_zero", {"-h", "-c", "0"}, "connections:32\n", false},
        config_case{"connections_33_reduced", {"-h", "-c", "33"}, "connections:32\n", true},
        config_case{"connections_minus_one_reduced", {"-h", "-c", "-1"}, "connections:32\n", true},
        config_case{"connections_65568_wrap_to_32", {"-h", "-c", "65568"}, "connections:32\n", false},
        config_case{"connections_with_blanks_sign_and_tail", {"-h", "-c", "  +7x"}, "connections:7\n", false}),
    [](const testing::TestParamInfo<config_case> &p) { return std::string(p.param.name); });

// The real executable prints the same and exits with code 0, without
// listening, for help and for an invalid port.
TEST(CommandLine, ExecutableDumpsThenUsage) {
  for (const config_case &c : {config_case{"help", {"-h"}, DEFAULT_DUMP, false},
                               config_case{"port_zero", {"-p", "0"}, "  addr_local  :0\n", false}}) {
    SCOPED_TRACE(c.name);
    relay_process relay;
    ASSERT_TRUE(relay.start(c.args));
    ASSERT_EQ(relay.wait_exit(10000), 0);
    expect_dump_then_usage(relay.output(), c, RELAYHUB_EXE);
  }
}

// A valid configuration runs: version line, dump, the pool's lines on
// standard error, the listening line; a stop ends it with exit code 0.
TEST(CommandLine, ValidConfigurationRuns) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "1"}));
  const std::string out = relay.output();
  EXPECT_EQ(out.rfind("OpenSSL 3", 0), 0u) << out;
  EXPECT_NE(out.find("connections:1\n"), std::string::npos) << out;
  EXPECT_EQ(out.find(":: usage ::"), std::string::npos);
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
  const std::string err = relay.errors();
  EXPECT_NE(err.find(":: page size   2 MB  :: align    2 MB RAM at: 0x"), std::string::npos) << err;
}

} // namespace
