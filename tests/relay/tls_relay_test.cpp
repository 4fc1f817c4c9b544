// TLS clients on the real relay: real OpenSSL clients, the certificate files
// of the working directory, large streams, refused and stalled handshakes.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "support/byte_pattern.h"
#include "support/certificate.h"
#include "support/hub_clients.h"
#include "support/hub_peer.h"
#include "support/relay_process.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"

namespace {

// A relay with a certificate in its working directory.
struct tls_hub {
  temp_dir dir;
  relay_process relay;
  bool start(const std::vector<std::string> &args) {
    return write_text_file(dir.path + "/relayhub.pem", make_certificate({}).pem) &&
           relay.start_listening(args, dir.path);
  }
};

// An `openssl s_client` of the relay with `args` before its address.
bool start_s_client(relay_process &client, std::vector<std::string> args, uint16_t port) {
  client.program = "/usr/bin/openssl";
  args.insert(args.begin(), "s_client");
  args.push_back("-connect");
  args.push_back("127.0.0.1:" + std::to_string(port));
  return client.start(args);
}

// An `openssl s_client` relaying lines with a raw client, per protocol version.
class SClient : public ::testing::TestWithParam<const char *> {};

TEST_P(SClient, ChatsWithARawClientBothWays) {
  tls_hub hub;
  relay_process &relay = hub.relay;
  ASSERT_TRUE(hub.start({"-c", "4"}));
  relay_process client;
  ASSERT_TRUE(start_s_client(client, {"-quiet", GetParam()}, relay.port));
  ASSERT_TRUE(relay.wait_output("TLS\n", 10000)) << relay.output();
  tcp_client raw;
  ASSERT_TRUE(raw.connect(relay.port));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));

  ASSERT_TRUE(client.write_input("from s_client\n"));
  EXPECT_EQ(raw.recv_exact(14, 10000), "from s_client\n");
  ASSERT_TRUE(raw.send_text("from raw\n"));
  EXPECT_TRUE(client.wait_output("from raw\n", 10000)) << client.output();
  client.stop(SIGTERM, 5000);
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, SClient, ::testing::Values("-tls1_2", "-tls1_3"),
                         [](const testing::TestParamInfo<const char *> &p) { return std::string(p.param + 1); });

// A client that offers only a suite the relay refuses fails its handshake;
// the relay goes on serving the others.
TEST(TlsRelay, RefusedSuiteFailsOnlyThatHandshake) {
  tls_hub hub;
  relay_process &relay = hub.relay;
  ASSERT_TRUE(hub.start({"-c", "4"}));
  relay_process client;
  client.program = "/usr/bin/openssl";
  ASSERT_TRUE(client.start(
      {"s_client", "-tls1_2", "-cipher", "AES128-SHA", "-connect", "127.0.0.1:" + std::to_string(relay.port)}));
  client.close_input();
  EXPECT_NE(client.wait_exit(10000), 0) << client.output();
  ASSERT_TRUE(relay.wait_output(".fin", 5000));

  hub_peer tls(peer_kind::tls);
  tcp_client raw;
  ASSERT_TRUE(tls.open(relay.port)) << tls.error;
  ASSERT_TRUE(raw.connect(relay.port));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  ASSERT_TRUE(raw.send_text("still serving\n"));
  EXPECT_EQ(tls.recv_bytes(14, 10000), "still serving\n");
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

// Many MiB between a TLS and a raw client in both directions, with
// payloads above one encryption chunk.
TEST(TlsRelay, LargeStreamsBetweenTlsAndRaw) {
  tls_hub hub;
  relay_process &relay = hub.relay;
  ASSERT_TRUE(hub.start({"-c", "2", "-L", "262144"}));
  hub_peer tls(peer_kind::tls);
  hub_peer raw(peer_kind::raw);
  ASSERT_TRUE(tls.open(relay.port)) << tls.error;
  ASSERT_TRUE(raw.open(relay.port));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));

  const std::string to_raw = byte_pattern<std::string>(3, 24 << 20);
  const std::string to_tls = byte_pattern<std::string>(4, 24 << 20);
  // One direction at a time: the test's TLS client may not read and write
  // its one TLS session from two threads.
  std::thread tls_sender([&] { tls.send(to_raw); });
  const std::string at_raw = raw.recv_bytes(to_raw.size(), 120000);
  tls_sender.join();
  std::thread raw_sender([&] { raw.send(to_tls); });
  const std::string at_tls = tls.recv_bytes(to_tls.size(), 120000);
  raw_sender.join();
  EXPECT_TRUE(at_raw == to_raw) << at_raw.size() << " bytes at the raw client";
  EXPECT_TRUE(at_tls == to_tls) << at_tls.size() << " bytes at the TLS client";
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

struct certificate_case {
  const char *name;
  std::vector<std::string> files; // written with a matching key
  bool mismatched;                // relayhub.pem holds a certificate and another key
  int from_days, to_days;
  bool tls_served;
  std::string message;
};

void PrintTo(const certificate_case &c, std::ostream *os) {
  *os << c.name;
}

class Certificates : public ::testing::TestWithParam<certificate_case> {};

TEST_P(Certificates, DecideWhetherTlsIsServed) {
  const certificate_case &c = GetParam();
  temp_dir dir;
  const certificate_options validity{.valid_from = c.from_days * 86400L, .valid_until = c.to_days * 86400L};
  for (const auto &file : c.files)
    ASSERT_TRUE(write_text_file(dir.path + "/" + file, make_certificate(validity).pem));
  if (c.mismatched) {
    ASSERT_TRUE(write_text_file(dir.path + "/relayhub.pem", make_certificate({.key_matches = false}).pem));
  }
  relay_process relay;
  ASSERT_TRUE(relay.start_listening({"-c", "2"}, dir.path));
  const std::string out = relay.output();
  EXPECT_NE(out.find(c.tls_served ? "RAW TLS WS WSS  max connections: 2" : "RAW WS  max connections: 2"),
            std::string::npos)
      << out;
  if (!c.message.empty())
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  else
    EXPECT_EQ(out.find("certificate"), std::string::npos) << out;

  hub_peer tls(peer_kind::tls);
  EXPECT_EQ(tls.open(relay.port), c.tls_served) << tls.error;
  if (!c.tls_served) {
    // The ClientHello is closed at once; the open SYN line is ended first.
    EXPECT_TRUE(relay.wait_output("  \n\n:: server_0", 5000)) << relay.output();
  }
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Certificates,
    ::testing::Values(certificate_case{"first_only", {"relayhub.pem"}, false, 0, 365, true, ""},
                      certificate_case{"second_only", {"relayhub2.pem"}, false, 0, 365, true, ""},
                      certificate_case{"neither", {}, false, 0, 365, false, ""},
                      certificate_case{"key_not_matching", {}, true, 0, 365, false, ""},
                      certificate_case{
                          "expired", {"relayhub.pem"}, false, -30, -2, true, "certificate expired 2 days ago\n\n"}),
    [](const testing::TestParamInfo<certificate_case> &p) { return std::string(p.param.name); });

// A client that stops in the middle of its handshake is dropped after the
// receive time-out; the relay keeps serving meanwhile.
TEST(TlsRelay, StalledHandshakeIsDropped) {
  tls_hub hub;
  relay_process &relay = hub.relay;
  ASSERT_TRUE(hub.start({"-c", "4"}));
  tcp_client stalled;
  ASSERT_TRUE(stalled.connect(relay.port));
  // A handshake record header announcing a ClientHello, and nothing more.
  const char hello_start[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01};
  ASSERT_TRUE(stalled.send_all(hello_start, sizeof(hello_start)));

  std::vector<tcp_client> pair;
  ASSERT_TRUE(connect_raw_clients(relay.port, 2, pair));
  ASSERT_TRUE(pair[0].send_text("meanwhile\n"));
  EXPECT_EQ(pair[1].recv_exact(10, 5000), "meanwhile\n");
  EXPECT_TRUE(stalled.wait_closed(5000));
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
}

} // namespace

namespace {

// A TLS client that is no WebSocket client keeps its first message, and no
// handshake failure is reported for it; a refused request that does begin
// with "GET " is reported and never relayed, over TLS or plain.
struct first_data_case {
  const char *name;
  peer_kind kind;
  std::string first;
  bool relayed;
};

void PrintTo(const first_data_case &c, std::ostream *os) {
  *os << c.name;
}

class FirstData : public ::testing::TestWithParam<first_data_case> {};

TEST_P(FirstData, IsRelayedUnlessItIsARefusedRequest) {
  const first_data_case &c = GetParam();
  tls_hub hub;
  relay_process &relay = hub.relay;
  ASSERT_TRUE(hub.start({"-c", "2"}));
  tcp_client listener;
  ASSERT_TRUE(listener.connect(relay.port));
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));

  hub_peer client(c.kind);
  ASSERT_TRUE(client.open(relay.port)) << client.error;
  ASSERT_TRUE(client.send(c.first));
  const char *report = "Invalid or unsupported WebSocket handshake from the client!";
  if (c.relayed) {
    EXPECT_EQ(listener.recv_exact(c.first.size(), 5000), c.first);
  } else {
    ASSERT_TRUE(relay.wait_output(report, 5000)) << relay.output();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  ASSERT_TRUE(client.send("second\n"));
  EXPECT_EQ(listener.recv_exact(7, 5000), "second\n");
  EXPECT_EQ(relay.stop(SIGTERM, 10000), 0);
  EXPECT_EQ(relay.output().find(report) != std::string::npos, !c.relayed) << relay.output();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FirstData,
    ::testing::Values(first_data_case{"tls_chat_line", peer_kind::tls, "first line\n", true},
                      first_data_case{"tls_http_get", peer_kind::tls, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false},
                      first_data_case{"plain_http_get", peer_kind::raw, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false},
                      // An Origin longer than the reader keeps.
                      first_data_case{"plain_unfit_request", peer_kind::raw,
                                      "GET / HTTP/1.1\r\nOrigin: " + std::string(600, 'o') + "\r\n\r\n", false}),
    [](const testing::TestParamInfo<first_data_case> &p) { return std::string(p.param.name); });

} // namespace
