// The relay under a hostile start: a console whose reader has gone, the
// standard descriptors closed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "support/hub_clients.h"
#include "support/relay_process.h"
#include "support/tcp_client.h"

namespace {

using namespace std::chrono_literals;

// The relay's console may be unreadable, so the first client's connection
// tells when it listens. It stays open: a probe closed at once would hold
// a descriptor in the relay for a while and hide which one a client gets.
bool connect_when_listening(tcp_client &client, uint16_t port, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (client.connect(port))
      return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// Reads `fd` until `text` has arrived or the deadline passes.
bool read_until(int fd, const std::string &text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string seen;
  while (seen.find(text) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
      return false;
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n <= 0)
      return false;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

// Once the relay listens on `port`, two raw clients exchange a message each
// way and receive nothing else.
void expect_raw_exchange(uint16_t port) {
  tcp_client clients[2];
  ASSERT_TRUE(connect_when_listening(clients[0], port, 10000));
  ASSERT_TRUE(clients[1].connect(port));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  ASSERT_TRUE(clients[0].send_text("ping"));
  EXPECT_EQ(clients[1].recv_exact(4, 5000), "ping");
  ASSERT_TRUE(clients[1].send_text("pong"));
  EXPECT_EQ(clients[0].recv_exact(4, 5000), "pong");
  for (tcp_client &client : clients)
    EXPECT_EQ(client.recv_some(500), "");
}

enum class reader_end { before_start, once_listening };

void PrintTo(reader_end end, std::ostream *os) {
  *os << (end == reader_end::before_start ? "before_start" : "once_listening");
}

class BrokenConsole : public ::testing::TestWithParam<reader_end> {};

// Standard output is a pipe whose reader has gone (as after `| head -c 1`,
// or `| cat` ended by the same Ctrl-C): the relay still listens, serves and
// stops in order.
TEST_P(BrokenConsole, RelayServesAndStopsCleanly) {
  int console[2];
  ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
  if (GetParam() == reader_end::before_start)
    ::close(console[0]);
  relay_process relay;
  relay.stdout_fd = console[1];
  relay.port = free_port();
  const bool started = relay.start({"-c", "4", "-p", std::to_string(relay.port)});
  ::close(console[1]);
  ASSERT_TRUE(started);
  if (GetParam() == reader_end::once_listening) {
    EXPECT_TRUE(read_until(console[0], ":: waiting for client connection...", 10000));
    ::close(console[0]);
  }
  expect_raw_exchange(relay.port);
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

INSTANTIATE_TEST_SUITE_P(ReaderGone, BrokenConsole,
                         ::testing::Values(reader_end::before_start, reader_end::once_listening));

// Started as `relayhub <&- >&- 2>&-`: no socket may take a standard
// descriptor, or a client would receive the console's lines.
TEST(ClosedStandardStreams, ClientsGetOnlyTheirData) {
  relay_process relay;
  relay.program = "/bin/sh";
  relay.port = free_port();
  ASSERT_TRUE(relay.start(
      {"-c", "exec \"$0\" \"$@\" <&- >&- 2>&-", RELAYHUB_EXE, "-c", "4", "-p", std::to_string(relay.port)}));
  expect_raw_exchange(relay.port);
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

} // namespace
