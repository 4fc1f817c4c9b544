// Connections that end in the ordinary way (the client closes or resets, or
// the relay is stopped) while payloads flow both ways are reported to nobody.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "support/byte_pattern.h"
#include "support/certificate.h"
#include "support/hub_peer.h"
#include "support/relay_process.h"
#include "support/temp_dir.h"

namespace {

// Ends `peer` with a reset instead of an orderly close.
void reset(hub_peer &peer) {
  linger abort_close{1, 0};
  setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof(abort_close));
  peer.close();
}

class OrdinaryEnd : public ::testing::TestWithParam<peer_kind> {};

// Clients that stream, read a little and then close or reset, round after
// round, while a raw source streams to all of them; then a stop under traffic.
TEST_P(OrdinaryEnd, ChurnAndStopUnderTrafficPrintNoFailure) {
  temp_dir dir;
  ASSERT_TRUE(write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem));
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({}, dir.path));

  // A group that is still streaming when the stop comes, set up before the
  // load starts.
  std::vector<std::unique_ptr<hub_peer>> last;
  for (int c = 0; c < 4; ++c) {
    last.push_back(std::make_unique<hub_peer>(GetParam()));
    ASSERT_TRUE(last.back()->open(relay.port)) << last.back()->error;
  }

  hub_peer source(peer_kind::raw);
  ASSERT_TRUE(source.open(relay.port)) << source.error;
  std::atomic<bool> done{false};
  std::thread streaming([&] {
    const std::string chunk = byte_pattern<std::string>(1, 4000);
    while (!done && source.send(chunk)) {
    }
  });

  std::atomic<int> opened{0};
  std::vector<std::thread> churners;
  for (int c = 0; c < 8; ++c) {
    churners.emplace_back([&, c] {
      const std::string chunk = byte_pattern<std::string>(static_cast<uint32_t>(c + 2), 16384);
      for (int round = 0; round < 4; ++round) {
        hub_peer peer(GetParam());
        if (!peer.open(relay.port))
          continue;
        ++opened;
        for (int i = 0; i < 8 && peer.send(chunk, true); ++i) {
        }
        peer.recv_raw(65536, 200);
        if ((round + c) % 2 == 0)
          reset(peer);
      }
    });
  }
  for (auto &t : churners)
    t.join();

  std::vector<std::thread> senders;
  for (auto &peer : last)
    senders.emplace_back([&] {
      const std::string chunk = byte_pattern<std::string>(9, 16384);
      while (!done && peer->send(chunk, true))
        peer->recv_raw(65536, 10);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int code = relay.stop(SIGTERM, 10000);
  done = true;
  for (auto &t : senders)
    t.join();
  streaming.join();

  EXPECT_EQ(code, 0);
  EXPECT_GE(opened.load(), 24);
  const std::string out = relay.output() + relay.errors();
  EXPECT_EQ(out.find("!!"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, OrdinaryEnd, ::testing::Values(peer_kind::raw, peer_kind::tls, peer_kind::wss),
                         [](const ::testing::TestParamInfo<peer_kind> &p) { return std::string(peer_name(p.param)); });

} // namespace
