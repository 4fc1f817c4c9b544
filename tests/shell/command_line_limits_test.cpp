// Command-line values outside what the relay can use: a port outside
// 1..65535 is refused, a packet length too small to relay anything is
// ignored.
#include <gtest/gtest.h>

#include <csignal>

#include "support/hub_clients.h"
#include "support/relay_process.h"
#include "support/tcp_client.h"

namespace {

struct limit_case {
  std::vector<std::string> args;
  std::string dump_line;
};

void PrintTo(const limit_case &c, std::ostream *os) {
  for (const std::string &arg : c.args)
    *os << arg << ' ';
}

class CommandLineLimits : public ::testing::TestWithParam<limit_case> {};

// Every case ends on the usage path without binding: refused ports by
// themselves, the others because they ask for help.
TEST_P(CommandLineLimits, DumpShowsTheValueInUse) {
  relay_process relay;
  ASSERT_TRUE(relay.start(GetParam().args));
  EXPECT_EQ(relay.wait_exit(10000), 0);
  const std::string out = relay.output();
  EXPECT_NE(out.find(GetParam().dump_line), std::string::npos) << out;
  EXPECT_NE(out.find(":: usage ::\n"), std::string::npos) << out;
  EXPECT_EQ(out.find(":: bind("), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLineLimits,
                         ::testing::Values(limit_case{{"-p", "0"}, "  addr_local  :0\n"},
                                           limit_case{{"-p", "70000"}, "  addr_local  :0\n"},
                                           limit_case{{"-p", "65536"}, "  addr_local  :0\n"},
                                           limit_case{{"-p", "65537"}, "  addr_local  :0\n"},
                                           limit_case{{"-p", "-1"}, "  addr_local  :0\n"},
                                           limit_case{{"-p", "99999999999"}, "  addr_local  :0\n"},
                                           limit_case{{"-h", "-p", "1"}, "  addr_local  :1\n"},
                                           limit_case{{"-h", "-p", "65535"}, "  addr_local  :65535\n"},
                                           limit_case{{"-h", "-L", "1"}, "packet_length_r:4096\n"},
                                           limit_case{{"-h", "-L", "1472", "-L1"}, "packet_length_r:1472\n"},
                                           limit_case{{"-h", "-L", "2"}, "packet_length_r:2\n"},
                                           limit_case{{"-h", "-L", "0"}, "packet_length_r:0\n"}));

// The smallest accepted packet length still relays, one byte at a time.
TEST(CommandLineLimits, SmallestPacketLengthRelays) {
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "2", "-L", "2"}));
  std::vector<tcp_client> clients;
  ASSERT_TRUE(connect_raw_clients(relay.port, 2, clients));
  ASSERT_TRUE(clients[0].send_text("abc"));
  EXPECT_EQ(clients[1].recv_exact(3, 5000), "abc");
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

} // namespace
