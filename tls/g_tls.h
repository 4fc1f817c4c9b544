// The byte transport of one connection slot: a socket, and for a TLS client
// a server-side SSL object over two memory BIOs. The same operations serve
// plain and TLS connections.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/winsock.h"
#include "relay/g_event.h"

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

// How a connection ended, as `g_tls_t::end_reason` tells it. Both codes are 0
// for an ordinary end, which is reported to nobody.
struct transport_end_t {
  // The socket error (a WSA code) to report, or 0.
  int32_t socket_error;
  // The TLS failure to report (an SSL_get_error code, or -1 when the SSL
  // object was gone), or 0.
  int32_t tls_error;
};

class g_tls_t {
public:
  std::atomic<ssl_st *> ssl;
  std::atomic<int32_t> ref_count;
  g_event_t ssl_lock;
  bio_st *rbio;
  bio_st *wbio;
  SOCKET so_accepted;
  std::atomic<SOCKET> so;
  std::atomic<uint8_t> abortive_close;
  int32_t wsa_error;
  std::atomic<int32_t> tls_error;
  uint8_t *p_recv;
  uint64_t p_recv_size;
  // Keeps whole sends apart: the writer's relayed frame and the reader's
  // replies never interleave on the wire.
  g_event_t send_lock;
  // Set when records that the reader queued wait for the thread that holds
  // `send_lock`: that thread sends them once it lets the lock go.
  std::atomic<uint8_t> records_waiting;
  // A socket that `disconnect` shut down but did not close yet: its number
  // stays taken until no thread of the slot can use it (`release_socket`).
  std::atomic<SOCKET> so_shut;
  // Set by `disconnect`: from then on every failure of this connection is the
  // relay's own doing, not the peer's or the network's.
  std::atomic<uint8_t> ended;
  // The reader's bound on its socket receives (see `limit_receives`); the
  // default time point for none.
  std::chrono::steady_clock::time_point receive_deadline;

  g_tls_t();
  ~g_tls_t();
  g_tls_t(const g_tls_t &) = delete;
  g_tls_t &operator=(const g_tls_t &) = delete;

  // Creates the SSL object and its two memory BIOs on `ctx`. 0 or -1.
  int attach_tls(ssl_ctx_st *ctx);
  // Runs the server handshake over `so`, using `p_recv` for both directions;
  // the client's first `received` bytes are already at its start. 0 when it
  // completed, -1 otherwise.
  int32_t tls_handshake(uint64_t received);
  // Receives up to `size` bytes into `buffer`: the count (1 or more), or 0 or
  // less when the connection ended or failed. Records that the reading queues
  // for the client (key update answers, alerts) leave before it returns or
  // waits for the client, unless a send is under way that takes them along.
  int64_t recv(uint8_t *buffer, uint64_t size);
  // Sends `size` bytes: plain, the socket's result; TLS, `size` on success,
  // 0 or less on failure.
  int64_t send(const uint8_t *data, uint64_t size);
  // From now on no socket receive of the reader waits past `deadline`: one
  // that would fails with WSAETIMEDOUT, whatever part of a TLS record it was
  // waiting for. The default time point lifts the bound and the socket's
  // receive time-out with it.
  void limit_receives(std::chrono::steady_clock::time_point deadline);
  // Takes a newly accepted socket as this transport's connection.
  void open(SOCKET accepted);
  // What ended the connection, asked by the thread whose `recv` or `send`
  // returned `result` (0 or less), before it makes another socket call. The
  // peer closing or resetting the connection, and any failure after
  // `disconnect`, are ordinary ends.
  transport_end_t end_reason(int64_t result) const;
  // Ends the connection: shuts the socket down at once (reset when
  // `abortive_close` is set), then drops the SSL object's owner reference, so
  // that no call on a TLS connection finds the object gone and the socket
  // still open. Safe from any thread at any time. The descriptor itself is
  // closed by `release_socket`.
  void disconnect();
  // Closes the socket that `disconnect` shut down. Call it only when no other
  // thread of the slot can still be inside a call on it.
  void release_socket();

  // Loads a certificate chain and its key (UTF-16 paths, either may be null to
  // keep the stored one) into the server context. 0 or -1.
  static int32_t load_cer(const char16_t *cer, const char16_t *key);
};

// Frees what the TLS library keeps for the calling thread (its error queue
// and random generators). A thread that used TLS calls it last, so that the
// state is gone by the time the thread is seen to end, not later.
void tls_thread_end();
