#include "tls/g_tls.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock.h"
#include "support/byte_pattern.h"
#include "support/certificate.h"
#include "support/temp_dir.h"
#include "support/thread_state.h"
#include "support/tls_client.h"
#include "tls/connection_fixture.h"
#include "tls/server_ctx.h"
#include "tls/tls_fixture.h"

namespace {

constexpr DWORD SERVER_RECEIVE_TIMEOUT_MS = 60000;
constexpr uint64_t PACKET = 16383;

// A listening socket on 127.0.0.1 with a port that the system picks, made
// with the platform's calls like the relay's own.
class loopback_listener {
public:
  ~loopback_listener() {
    if (listener != INVALID_SOCKET) {
      closesocket(listener);
    }
  }

  bool open() {
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.S_un.S_addr = inet_addr("127.0.0.1");
    int size = sizeof address;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listener, 8) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
      return false;
    }
    port = ntohs(address.sin_port);
    return true;
  }

  SOCKET accept_one() { return accept(listener, nullptr, nullptr); }

  SOCKET listener = INVALID_SOCKET;
  uint16_t port = 0;
};

// Ends the connection when a test leaves early, so that threads blocked on it
// return before their futures are joined.
class disconnect_on_exit {
public:
  explicit disconnect_on_exit(g_tls_t &target) : transport(target) {}
  ~disconnect_on_exit() { transport.disconnect(); }

private:
  g_tls_t &transport;
};

// Serves every test of the suite from the relay's own context, loaded from a
// chain of four certificates (leaf and three intermediates).
class transport : public testing::Test {
protected:
  static void SetUpTestSuite() {
    WSADATA data;
    WSAStartup(0x0202, &data);
    certificate_options options;
    options.intermediates = 3;
    files = load_server_context(options);
  }

  static void TearDownTestSuite() {
    release_server_context(files);
    WSACleanup();
  }

  void SetUp() override {
    ASSERT_EQ(tls_ready.load(), 1);
    ASSERT_TRUE(listener.open());
  }

  // Stores the accepted socket as the accept loop does.
  void connect_plain() {
    ASSERT_TRUE(client.connect(listener.port));
    SOCKET so = listener.accept_one();
    ASSERT_NE(so, INVALID_SOCKET);
    DWORD timeout = SERVER_RECEIVE_TIMEOUT_MS;
    setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
    server.open(so);
  }

  void connect_tls(uint64_t p_recv_size = PACKET, int max_version = TLS1_3_VERSION) {
    ASSERT_NO_FATAL_FAILURE(connect_plain());
    handshake_buffer.assign(p_recv_size, 0);
    server.p_recv = handshake_buffer.data();
    server.p_recv_size = p_recv_size;
    ASSERT_EQ(server.attach_tls(server_ctx.load()), 0);
    auto client_done = std::async(std::launch::async, [&] { return client.handshake(files->root, max_version); });
    int32_t result = server.tls_handshake(0);
    ASSERT_TRUE(finishes(client_done));
    ASSERT_TRUE(client_done.get()) << "client handshake or chain verification failed";
    ASSERT_EQ(result, 0);
  }

  void connect(bool tls) {
    if (tls) {
      connect_tls();
    } else {
      connect_plain();
    }
  }

  static certificate_files *files;
  loopback_listener listener;
  test_client client;
  std::vector<uint8_t> handshake_buffer;
  g_tls_t server;
};

certificate_files *transport::files = nullptr;

struct handshake_case {
  const char *name;
  int max_version;
  uint64_t p_recv_size;
};

class handshake : public transport, public testing::WithParamInterface<handshake_case> {};

TEST_P(handshake, completes_with_the_whole_chain_and_carries_data) {
  ASSERT_NO_FATAL_FAILURE(connect_tls(GetParam().p_recv_size, GetParam().max_version));
  EXPECT_EQ(server.tls_error, 0);
  EXPECT_EQ(server.ref_count.load(), 1);
  EXPECT_EQ(client.peer_chain_length(), 4);
  EXPECT_EQ(SSL_version(client.ssl), GetParam().max_version);

  ASSERT_TRUE(client.write("ping", 4));
  uint8_t buffer[64];
  ASSERT_EQ(server.recv(buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 4), "ping");
  ASSERT_EQ(server.send(reinterpret_cast<const uint8_t *>("pong"), 4), 4);
  auto answer = client.read_exact(4);
  EXPECT_EQ(std::string(answer.begin(), answer.end()), "pong");
}

// A small buffer makes the server's first flight (four certificates) longer
// than one pass of the handshake loop.
INSTANTIATE_TEST_SUITE_P(table, handshake,
                         testing::Values(handshake_case{"tls13_small_buffer", TLS1_3_VERSION, 512},
                                         handshake_case{"tls12_small_buffer", TLS1_2_VERSION, 512},
                                         handshake_case{"tls13_packet_buffer", TLS1_3_VERSION, PACKET}),
                         [](const testing::TestParamInfo<handshake_case> &item) { return item.param.name; });

struct handshake_failure_case {
  const char *name;
  bool attach;
  bool buffer;
  // What the client sends instead of a ClientHello, and whether it then leaves.
  const char *client_bytes;
  bool client_leaves;
  int32_t tls_error;
  const char *output;
};

class handshake_failure : public transport, public testing::WithParamInterface<handshake_failure_case> {};

TEST_P(handshake_failure, fails_with_its_error_and_keeps_the_owner_reference) {
  const handshake_failure_case &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(connect_plain());
  if (c.buffer) {
    handshake_buffer.assign(PACKET, 0);
    server.p_recv = handshake_buffer.data();
    server.p_recv_size = PACKET;
  }
  if (c.attach) {
    ASSERT_EQ(server.attach_tls(server_ctx.load()), 0);
  }
  ASSERT_TRUE(client.write(c.client_bytes, strlen(c.client_bytes)));
  if (c.client_leaves) {
    client.close();
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(server.tls_handshake(0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
  EXPECT_EQ(server.tls_error, c.tls_error);
  EXPECT_EQ(server.ref_count.load(), c.attach ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    table, handshake_failure,
    testing::Values(handshake_failure_case{"no_buffer", true, false, "", false, -1, "p_recv or p_recv_size not set\n"},
                    handshake_failure_case{"nothing_attached", false, true, "", false, -1, ""},
                    handshake_failure_case{"not_tls", true, true, "GET / HTTP/1.1\r\n\r\n", false, SSL_ERROR_SSL, ""},
                    handshake_failure_case{"client_leaves", true, true, "", true, 0, ""}),
    [](const testing::TestParamInfo<handshake_failure_case> &item) { return item.param.name; });

struct buffered_records_case {
  const char *name;
  std::vector<uint64_t> read_sizes;
  std::vector<int64_t> results;
  // How the client ends: close_notify, or a TCP close without one.
  bool close_notify;
  int64_t end_result;
  int32_t end_error;
};

class buffered_records : public transport, public testing::WithParamInterface<buffered_records_case> {};

TEST_P(buffered_records, recv_returns_what_the_buffered_records_yield) {
  const buffered_records_case &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(connect_tls());
  std::vector<uint8_t> sent = byte_pattern<std::vector<uint8_t>>(7, 300);
  std::vector<std::vector<uint8_t>> records;
  for (size_t at = 0; at < sent.size(); at += 100) {
    records.emplace_back(sent.begin() + at, sent.begin() + at + 100);
  }
  ASSERT_TRUE(client.write_records(records));

  std::vector<uint8_t> received;
  for (size_t i = 0; i < c.read_sizes.size(); ++i) {
    std::vector<uint8_t> buffer(c.read_sizes[i]);
    int64_t result = server.recv(buffer.data(), buffer.size());
    ASSERT_EQ(result, c.results[i]) << "read " << i;
    received.insert(received.end(), buffer.begin(), buffer.begin() + result);
  }
  EXPECT_EQ(received, sent);

  if (c.close_notify) {
    ASSERT_TRUE(client.close_notify());
  } else {
    client.close();
  }
  uint8_t byte;
  EXPECT_EQ(server.recv(&byte, 1), c.end_result);
  EXPECT_EQ(server.tls_error, c.end_error);
}

INSTANTIATE_TEST_SUITE_P(
    table, buffered_records,
    testing::Values(buffered_records_case{"one_read_of_1000", {1000}, {300}, true, 0, SSL_ERROR_ZERO_RETURN},
                    buffered_records_case{"two_reads_of_150", {150, 150}, {150, 150}, false, -1, 0}),
    [](const testing::TestParamInfo<buffered_records_case> &item) { return item.param.name; });

class send_size : public transport, public testing::WithParamInterface<uint64_t> {};

TEST_P(send_size, arrives_whole) {
  ASSERT_NO_FATAL_FAILURE(connect_tls());
  std::vector<uint8_t> data = byte_pattern<std::vector<uint8_t>>(3, GetParam());
  auto arrived = std::async(std::launch::async, [&] { return client.read_exact(data.size()); });
  EXPECT_EQ(server.send(data.data(), data.size()), static_cast<int64_t>(data.size()));
  ASSERT_TRUE(finishes(arrived));
  EXPECT_TRUE(arrived.get() == data);
}

// One byte, exactly one encryption chunk, and one byte more than a chunk.
INSTANTIATE_TEST_SUITE_P(table, send_size, testing::Values(1u, 0x30000u, 0x30001u),
                         [](const testing::TestParamInfo<uint64_t> &item) {
                           return item.param == 1         ? "one_byte"
                                  : item.param == 0x30000 ? "one_chunk"
                                                          : "chunk_and_a_byte";
                         });

TEST_F(transport, large_streams_cross_intact_while_the_client_updates_keys) {
  ASSERT_NO_FATAL_FAILURE(connect_tls());
  // With small socket buffers the writer spends its time in socket sends, and
  // the server's key update answers are queued by the reader meanwhile.
  int buffer_size = 65536;
  setsockopt(server.so.load(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&buffer_size), sizeof buffer_size);
  client.limit_receive_buffer(buffer_size);
  constexpr size_t total = 6u << 20;
  std::vector<uint8_t> upstream = byte_pattern<std::vector<uint8_t>>(1, total);
  std::vector<uint8_t> downstream = byte_pattern<std::vector<uint8_t>>(2, total);

  auto reader = std::async(std::launch::async, [&] {
    std::vector<uint8_t> received;
    std::vector<uint8_t> buffer(PACKET);
    while (received.size() < total) {
      int64_t n = server.recv(buffer.data(), buffer.size());
      if (n <= 0) {
        break;
      }
      received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    return received;
  });
  auto writer = std::async(std::launch::async, [&] {
    for (size_t at = 0; at < total; at += 1u << 20) {
      if (server.send(downstream.data() + at, 1u << 20) != 1 << 20) {
        return false;
      }
    }
    return true;
  });
  disconnect_on_exit guard(server);
  std::vector<uint8_t> arrived;
  EXPECT_TRUE(client.exchange(upstream, total, arrived, 32u << 10));
  ASSERT_TRUE(finishes(reader));
  ASSERT_TRUE(finishes(writer));
  EXPECT_TRUE(writer.get());
  EXPECT_TRUE(reader.get() == upstream);
  EXPECT_TRUE(arrived == downstream);
}

class concurrent_sends : public transport, public testing::WithParamInterface<bool> {};

TEST_P(concurrent_sends, never_interleave) {
  ASSERT_NO_FATAL_FAILURE(connect(GetParam()));
  // Small socket buffers, as the relay's own, make a block wait for room.
  int buffer_size = 65536;
  setsockopt(server.so.load(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&buffer_size), sizeof buffer_size);
  client.limit_receive_buffer(buffer_size);
  constexpr size_t block = 300000;
  constexpr int per_thread = 4;
  // Thread t sends streams 10 + t * per_thread + i, in order.
  std::vector<std::vector<uint8_t>> blocks;
  for (int i = 0; i < 2 * per_thread; ++i) {
    blocks.push_back(byte_pattern<std::vector<uint8_t>>(10 + i, block));
  }
  std::promise<uint32_t> ids[2];
  std::vector<std::future<bool>> senders;
  for (int t = 0; t < 2; ++t) {
    senders.push_back(std::async(std::launch::async, [&, t] {
      ids[t].set_value(current_thread_id());
      for (int i = 0; i < per_thread; ++i) {
        if (server.send(blocks[t * per_thread + i].data(), block) != static_cast<int64_t>(block)) {
          return false;
        }
      }
      return true;
    }));
  }
  disconnect_on_exit guard(server);
  // The client reads only once both senders wait, so that the socket's
  // buffers are full and both sends are under way when room appears.
  for (auto &id : ids) {
    ASSERT_TRUE(wait_until_sleeping(id.get_future().get(), SLEEP_WAIT_MS));
  }
  auto arrived = std::async(std::launch::async, [&] { return client.read_exact(blocks.size() * block); });
  for (auto &sender : senders) {
    ASSERT_TRUE(finishes(sender));
    EXPECT_TRUE(sender.get());
  }
  ASSERT_TRUE(finishes(arrived));
  std::vector<uint8_t> stream = arrived.get();
  ASSERT_EQ(stream.size(), blocks.size() * block);

  int next[2] = {0, 0};
  for (size_t at = 0; at < stream.size(); at += block) {
    std::vector<uint8_t> piece(stream.begin() + at, stream.begin() + at + block);
    bool matched = false;
    for (int t = 0; t < 2 && !matched; ++t) {
      if (next[t] < per_thread && piece == blocks[t * per_thread + next[t]]) {
        ++next[t];
        matched = true;
      }
    }
    ASSERT_TRUE(matched) << "block at " << at << " is not one whole send";
  }
}

INSTANTIATE_TEST_SUITE_P(table, concurrent_sends, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &item) { return item.param ? "tls" : "plain"; });

struct disconnect_case {
  const char *name;
  bool tls;
  bool abortive;
};

class disconnect : public transport, public testing::WithParamInterface<disconnect_case> {};

TEST_P(disconnect, shuts_down_at_once_and_closes_on_release) {
  const disconnect_case &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(connect(c.tls));
  SOCKET so = server.so.load();
  server.abortive_close = c.abortive ? 1 : 0;
  server.tls_error = 1234;

  server.disconnect();
  EXPECT_EQ(server.ssl.load(), nullptr);
  EXPECT_EQ(server.ref_count.load(), 0);
  EXPECT_EQ(server.so.load(), INVALID_SOCKET);
  EXPECT_EQ(server.so_accepted, so);
  EXPECT_EQ(server.so_shut.load(), so);
  EXPECT_EQ(server.abortive_close.load(), 0);
  EXPECT_TRUE(descriptor_open(static_cast<int>(so))) << "the number stays taken until release_socket";
  EXPECT_EQ(linger_resets(static_cast<int>(so)), c.abortive);
  EXPECT_TRUE(client.reads_end());

  uint8_t byte = 0;
  EXPECT_EQ(server.recv(&byte, 1), -1);
  EXPECT_EQ(server.send(&byte, 1), -1);
  EXPECT_EQ(server.tls_error, 1234) << "the plain path leaves the TLS error alone";

  server.disconnect();
  EXPECT_EQ(server.so_shut.load(), so);
  server.release_socket();
  EXPECT_EQ(server.so_shut.load(), INVALID_SOCKET);
  EXPECT_FALSE(descriptor_open(static_cast<int>(so)));
}

INSTANTIATE_TEST_SUITE_P(table, disconnect,
                         testing::Values(disconnect_case{"plain", false, false}, disconnect_case{"tls", true, false},
                                         disconnect_case{"tls_abortive", true, true}),
                         [](const testing::TestParamInfo<disconnect_case> &item) { return item.param.name; });

TEST_F(transport, disconnect_from_two_threads_wakes_a_blocked_recv_and_send) {
  ASSERT_NO_FATAL_FAILURE(connect_tls());
  std::promise<uint32_t> reader_id;
  std::promise<uint32_t> writer_id;
  auto reader = std::async(std::launch::async, [&] {
    reader_id.set_value(current_thread_id());
    std::vector<uint8_t> buffer(PACKET);
    return server.recv(buffer.data(), buffer.size());
  });
  // More than the loopback buffers hold while the client reads nothing.
  std::vector<uint8_t> flood = byte_pattern<std::vector<uint8_t>>(5, 64u << 20);
  auto writer = std::async(std::launch::async, [&] {
    writer_id.set_value(current_thread_id());
    return server.send(flood.data(), flood.size());
  });
  disconnect_on_exit guard(server);
  ASSERT_TRUE(wait_until_sleeping(reader_id.get_future().get(), SLEEP_WAIT_MS));
  ASSERT_TRUE(wait_until_sleeping(writer_id.get_future().get(), SLEEP_WAIT_MS));

  std::thread first([&] { server.disconnect(); });
  std::thread second([&] { server.disconnect(); });
  first.join();
  second.join();

  ASSERT_TRUE(finishes(reader));
  ASSERT_TRUE(finishes(writer));
  EXPECT_LE(reader.get(), 0);
  EXPECT_LE(writer.get(), 0);
  EXPECT_EQ(server.ssl.load(), nullptr);
  EXPECT_EQ(server.ref_count.load(), 0) << "the last operation to leave freed the SSL object";
  EXPECT_NE(server.so_shut.load(), INVALID_SOCKET);
}

TEST(idle_transport, disconnect_does_nothing_and_keeps_abortive_close) {
  g_tls_t idle;
  idle.abortive_close = 1;
  idle.disconnect();
  EXPECT_EQ(idle.abortive_close.load(), 1);
  EXPECT_EQ(idle.so.load(), INVALID_SOCKET);
  EXPECT_EQ(idle.so_shut.load(), INVALID_SOCKET);
  uint8_t byte = 0;
  EXPECT_EQ(idle.recv(&byte, 1), -1);
  EXPECT_EQ(idle.send(&byte, 1), -1);
}

} // namespace
