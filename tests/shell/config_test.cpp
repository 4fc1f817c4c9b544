// The command line against the configuration dump, the usage text and the
// exit code, on the real executable.
#include "shell/config.h"

#include <gtest/gtest.h>

#include <csignal>

#include "support/relay_process.h"

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
  std::vector<std::string> args;
  std::string expected; // a line of the dump, or the whole dump
  bool reduced;         // the reduction message is printed
};

void PrintTo(const config_case &c, std::ostream *os) {
  for (const auto &a : c.args)
    *os << a << ' ';
}

class CommandLine : public ::testing::TestWithParam<config_case> {};

// Help or an invalid port: the dump, then the usage text, exit code 0, and
// nothing listens.
TEST_P(CommandLine, DumpThenUsage) {
  const config_case &c = GetParam();
  relay_process relay;
  ASSERT_TRUE(relay.start(c.args));
  ASSERT_EQ(relay.wait_exit(10000), 0);
  const std::string out = relay.output();
  EXPECT_NE(out.find(c.expected), std::string::npos) << out;
  EXPECT_EQ(out.find(REDUCED) != std::string::npos, c.reduced) << out;
  const size_t banner = out.find(":: WebSocket relay utility  ");
  ASSERT_NE(banner, std::string::npos) << out;
  const size_t banner_end = out.find('\n', banner);
  EXPECT_EQ(out.substr(banner_end + 1), usage_text(RELAYHUB_EXE));
  EXPECT_LT(out.find(":: ------ ::\n"), banner);
  EXPECT_EQ(out.find(":: bind("), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLine,
    ::testing::Values(config_case{{"-h"}, DEFAULT_DUMP, false}, config_case{{"--HeLp"}, DEFAULT_DUMP, false},
                      config_case{{"-p", "0"}, "  addr_local  :0\n", false},
                      config_case{{"-p", "65536"}, "  addr_local  :0\n", false},
                      config_case{{"-h", "-p", "65537"}, "  addr_local  :0\n", false},
                      config_case{{"-h", "-p", "99999999999"}, "  addr_local  :0\n", false},
                      config_case{{"-h", "-p8080"}, "  addr_local  :8080\n", false},
                      config_case{{"--port", "80"}, "  addr_local  :0\n", false},
                      config_case{{"-p", "-c", "5"}, "  addr_local  :0\n", false},
                      config_case{{"-p", "-c", "5"}, "connections:32\n", false},
                      config_case{{"-hp", "81"}, "  addr_local  :81\n", false},
                      config_case{{"-h", "-P", "80", "-l", "100", "/p", "80"}, DEFAULT_DUMP, false},
                      config_case{{"-h", "-p"}, "  addr_local  :81\n", false},
                      config_case{{"-h", "-L", "-1"}, "packet_length_r:18446744073709551615\n", false},
                      config_case{{"-h", "-L", "0"}, "packet_length_r:0\n", false},
                      config_case{{"-h", "-L1472"}, "packet_length_r:1472\n", false},
                      config_case{{"-h", "-c", "0"}, "connections:32\n", false},
                      config_case{{"-h", "-c", "33"}, "connections:32\n", true},
                      config_case{{"-h", "-c", "-1"}, "connections:32\n", true},
                      config_case{{"-h", "-c", "65568"}, "connections:32\n", false},
                      config_case{{"-h", "-c", "  +7x"}, "connections:7\n", false}));

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
