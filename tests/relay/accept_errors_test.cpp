// Accept failures that pass: a relay out of descriptors keeps its clients and
// serves new ones once descriptors are free again.
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "support/hub_clients.h"
#include "support/relay_process.h"

namespace {

TEST(AcceptErrors, RunningOutOfDescriptorsIsReportedOnceAndPasses) {
  relay_process relay;
  relay.program = "/usr/bin/prlimit";
  ASSERT_TRUE(relay.start_listening({"--nofile=12:12", RELAYHUB_EXE}));

  std::vector<tcp_client> crowd(16);
  for (tcp_client &c : crowd) {
    ASSERT_TRUE(c.connect(relay.port));
    ASSERT_TRUE(c.send_text("hello\n"));
  }
  ASSERT_TRUE(relay.wait_output("ERROR: 10024", 10000)) << relay.output();
  for (tcp_client &c : crowd)
    c.close();

  std::vector<tcp_client> pair;
  ASSERT_TRUE(connect_raw_clients(relay.port, 2, pair));
  ASSERT_TRUE(pair[0].send_text("after\n"));
  EXPECT_EQ(pair[1].recv_exact(6, 10000), "after\n") << relay.output();
  ASSERT_TRUE(pair[1].send_text("again\n"));
  EXPECT_EQ(pair[0].recv_exact(6, 10000), "again\n") << relay.output();

  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
  EXPECT_EQ(count_of(relay.output(), "!! server"), 1) << relay.output();
}

} // namespace
