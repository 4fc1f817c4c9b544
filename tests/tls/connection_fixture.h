// A fixture for tests of one live TLS connection: the relay's own server
// context, a loopback listener, and a connection set up as the accept loop
// sets it up.
#pragma once

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <csignal>
#include <future>
#include <vector>

#include "platform/winsock.h"
#include "support/certificate.h"
#include "support/temp_dir.h"
#include "support/tls_client.h"
#include "tls/g_tls.h"
#include "tls/server_ctx.h"

inline constexpr auto DEADLINE = std::chrono::seconds(30);
// How long a thread may take to block in a call, under sanitizers too.
inline constexpr int SLEEP_WAIT_MS = 40000;

template <typename T> inline bool finishes(std::future<T> &result) {
  return result.wait_for(DEADLINE) == std::future_status::ready;
}

// Ends the server side's connection when it goes, so that threads blocked on
// it finish even when a test stops at a failed assertion.
struct disconnect_on_exit {
  g_tls_t &server;
  ~disconnect_on_exit() { server.disconnect(); }
};

// Loads the relay's own server context from a certificate made for a suite,
// as the relay loads relayhub.pem from its working directory.
inline certificate_files *load_server_context(const certificate_options &options) {
  auto *files = new certificate_files(make_certificate(options));
  temp_dir directory;
  if (directory.enter())
    write_text_file("relayhub.pem", files->pem);
  tls_context_release();
  tls_context_setup();
  return files;
}

inline void release_server_context(certificate_files *files) {
  tls_context_release();
  delete files;
}

class connected_transport : public testing::Test {
protected:
  static void SetUpTestSuite() {
    WSADATA data;
    WSAStartup(0x0202, &data);
    // The client's writes after the relay side ended must fail, not kill.
    signal(SIGPIPE, SIG_IGN);
    files = load_server_context(certificate_options{});
  }

  static void TearDownTestSuite() {
    release_server_context(files);
    WSACleanup();
  }

  void SetUp() override {
    ASSERT_EQ(tls_ready.load(), 1);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.S_un.S_addr = inet_addr("127.0.0.1");
    int size = sizeof address;
    ASSERT_NE(listener, INVALID_SOCKET);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
    port = ntohs(address.sin_port);
  }

  void TearDown() override { closesocket(listener); }

  // A TLS 1.3 connection set up as the accept loop sets it up.
  void connect_tls(test_client &client, g_tls_t &server, int max_version = TLS1_3_VERSION) {
    ASSERT_TRUE(client.connect(port));
    SOCKET so = accept(listener, nullptr, nullptr);
    ASSERT_NE(so, INVALID_SOCKET);
    DWORD timeout = 10000;
    setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
    server.open(so);
    handshake_buffer.assign(16384, 0);
    server.p_recv = handshake_buffer.data();
    server.p_recv_size = handshake_buffer.size();
    ASSERT_EQ(server.attach_tls(server_ctx.load()), 0);
    auto client_done = std::async(std::launch::async, [&] { return client.handshake(files->root, max_version); });
    int32_t result = server.tls_handshake(0);
    ASSERT_TRUE(finishes(client_done));
    ASSERT_TRUE(client_done.get());
    ASSERT_EQ(result, 0);
  }

  static inline certificate_files *files = nullptr;
  SOCKET listener = INVALID_SOCKET;
  uint16_t port = 0;
  std::vector<uint8_t> handshake_buffer;
};
