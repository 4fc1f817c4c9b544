// Records that the server's reads produce on their own (key update answers,
// the refusal of a renegotiation) leave at once, not with the next payload,
// and never pile up in memory.
#include "tls/g_tls.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

#include "platform/winsock.h"
#include "support/byte_pattern.h"
#include "support/thread_state.h"
#include "tls/connection_fixture.h"
#include "tls/tls_fixture.h"

namespace {

// Runs the server's reader until it has `wanted` bytes or the connection ends.
std::future<std::vector<uint8_t>> start_reader(g_tls_t &server, size_t wanted, std::promise<int> *id = nullptr) {
  return std::async(std::launch::async, [&server, wanted, id] {
    if (id != nullptr) {
      id->set_value(current_thread_id());
    }
    std::vector<uint8_t> got;
    std::vector<uint8_t> buffer(4096);
    while (got.size() < wanted) {
      int64_t n = server.recv(buffer.data(), buffer.size());
      if (n <= 0) {
        break;
      }
      got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    }
    return got;
  });
}

// Asks the server for `count` key updates, then sends one byte of data.
bool request_key_updates(test_client &client, int count) {
  for (int i = 0; i < count; ++i) {
    if (SSL_key_update(client.ssl, SSL_KEY_UPDATE_REQUESTED) != 1 || SSL_do_handshake(client.ssl) != 1) {
      return false;
    }
  }
  return client.write("Z", 1);
}

// Key update messages that one side's SSL object sent (`written` 1) or read.
struct key_update_count {
  int written;
  std::atomic<int> count{0};
};

void count_key_updates(int write_p, int, int content_type, const void *buf, size_t len, SSL *, void *arg) {
  auto *counter = static_cast<key_update_count *>(arg);
  if (write_p == counter->written && content_type == SSL3_RT_HANDSHAKE && len > 0 &&
      static_cast<const uint8_t *>(buf)[0] == SSL3_MT_KEY_UPDATE) {
    counter->count.fetch_add(1);
  }
}

void watch_key_updates(ssl_st *ssl, key_update_count &counter) {
  SSL_set_msg_callback_arg(ssl, &counter);
  SSL_set_msg_callback(ssl, count_key_updates);
}

// Reads on the client until `count` key updates came in or 10 s passed.
int read_key_updates(test_client &client, const key_update_count &arrived, int count) {
  DWORD slice_ms = 100;
  setsockopt(static_cast<SOCKET>(client.fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&slice_ms),
             sizeof slice_ms);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  uint8_t byte;
  while (arrived.count.load() < count && std::chrono::steady_clock::now() < deadline) {
    int got = SSL_read(client.ssl, &byte, 1);
    if (got <= 0 && SSL_get_error(client.ssl, got) != SSL_ERROR_WANT_READ) {
      break;
    }
  }
  return arrived.count.load();
}

size_t queued_in_write_bio(g_tls_t &server) {
  server.ssl_lock.wait();
  size_t queued = BIO_ctrl_pending(server.wbio);
  server.ssl_lock.set();
  return queued;
}

TEST_F(connected_transport, key_update_answers_leave_without_a_payload) {
  test_client client;
  g_tls_t server;
  ASSERT_NO_FATAL_FAILURE(connect_tls(client, server));
  key_update_count answered{1};
  key_update_count arrived{0};
  watch_key_updates(server.ssl.load(), answered);
  watch_key_updates(client.ssl, arrived);
  constexpr int requests = 2000;
  auto reader = start_reader(server, 1);
  const disconnect_on_exit reader_ends{server};
  // The client reads nothing until all are asked for: the answers must leave
  // the server while it has no data of its own for the client.
  ASSERT_TRUE(request_key_updates(client, requests));
  ASSERT_TRUE(finishes(reader));
  ASSERT_EQ(reader.get(), std::vector<uint8_t>{'Z'});
  EXPECT_EQ(queued_in_write_bio(server), 0u);
  // OpenSSL may fold a request into an answer it has not sent yet, so the
  // count to wait for is what the server's SSL object wrote.
  const int written = answered.count.load();
  EXPECT_GE(written, requests / 2);
  EXPECT_EQ(read_key_updates(client, arrived, written), written);
}

TEST_F(connected_transport, queued_answers_stay_bounded_while_a_send_is_blocked) {
  test_client client;
  g_tls_t server;
  ASSERT_NO_FATAL_FAILURE(connect_tls(client, server));
  std::promise<int> reader_id;
  std::promise<int> writer_id;
  // The reader waits for more than the client sends, so it stays in recv.
  auto reader = start_reader(server, 2, &reader_id);
  // More than the loopback buffers hold while the client reads nothing: the
  // writer stays in its send, holding the whole-send lock.
  std::vector<uint8_t> flood = byte_pattern<std::vector<uint8_t>>(5, 64u << 20);
  auto writer = std::async(std::launch::async, [&] {
    writer_id.set_value(current_thread_id());
    return server.send(flood.data(), flood.size());
  });
  const disconnect_on_exit writer_ends{server};
  ASSERT_TRUE(wait_until_sleeping(writer_id.get_future().get(), SLEEP_WAIT_MS));
  auto requests = std::async(std::launch::async, [&] { return request_key_updates(client, 5000); });
  const disconnect_on_exit ends{server};
  requests.wait_for(std::chrono::seconds(10));
  ASSERT_TRUE(wait_until_sleeping(reader_id.get_future().get(), SLEEP_WAIT_MS));

  EXPECT_LE(queued_in_write_bio(server), 64u << 10) << "answers pile up behind the blocked send";
  server.disconnect();
  ASSERT_TRUE(finishes(reader));
  ASSERT_TRUE(finishes(writer));
  EXPECT_LE(writer.get(), 0);
  ASSERT_TRUE(finishes(requests));
}

TEST_F(connected_transport, a_renegotiation_is_refused_at_once) {
  test_client client;
  g_tls_t server;
  ASSERT_NO_FATAL_FAILURE(connect_tls(client, server, TLS1_2_VERSION));
  auto reader = start_reader(server, 1);
  const disconnect_on_exit reader_ends{server};
  ERR_clear_error();
  ASSERT_EQ(SSL_renegotiate(client.ssl), 1);
  auto asked = std::chrono::steady_clock::now();
  // Without an answer the client waits for its 10 s receive time-out.
  EXPECT_LE(SSL_do_handshake(client.ssl), 0);
  EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), SSL_R_NO_RENEGOTIATION);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  server.disconnect();
  ASSERT_TRUE(finishes(reader));
}

} // namespace
