#include "tls/g_tls.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "shell/console.h"

namespace {

// Plaintext encrypted per SSL_write; its ciphertext leaves with one socket send.
constexpr uint64_t SEND_CHUNK = 0x30000;
// The read BIO's buffer holds at least one whole record of the ciphers served
// (16 KiB of plaintext and the record's overhead).
constexpr size_t READ_BUFFER_MIN = 0x4400;
// Records queued by the reader during a send that are this short wait for the
// next chunk instead of costing a socket send of their own.
constexpr size_t MERGED_TAIL_MAX = 1024;
// Records queued by the reader beyond this make it wait for the send under
// way instead of reading on, so a client that asks for answers faster than it
// reads them cannot grow the queue.
constexpr size_t QUEUED_RECORDS_MAX = 0x4000;

// Socket, SSL and BIO calls take 32-bit lengths; a longer request is served in
// part, and the count returned says how much.
int to_length(uint64_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

// The reader's receive and the writer's send both report through `tls_error`,
// and both fail at once when a client drops.
void set_tls_error(g_tls_t &t, int32_t code) {
  t.tls_error.store(code);
}

// The one place where an OpenSSL result becomes the transport's error code.
int32_t record_ssl_error(g_tls_t &t, ssl_st *s, int result) {
  int32_t code = SSL_get_error(s, result);
  set_tls_error(t, code);
  return code;
}

void free_ssl(ssl_st *s) {
  // The close_notify that the shutdown queues is never sent: the BIOs are
  // freed with the object.
  ERR_clear_error();
  SSL_shutdown(s);
  SSL_free(s);
}

// A count that reached 0 belongs to an object that is freed or being freed, so
// it is never raised again.
bool take_reference(g_tls_t &t) {
  int32_t count = t.ref_count.load();
  while (count > 0) {
    if (t.ref_count.compare_exchange_weak(count, count + 1)) {
      return true;
    }
  }
  set_tls_error(t, -1);
  return false;
}

void drop_reference(g_tls_t &t, ssl_st *s) {
  if (t.ref_count.fetch_sub(1) == 1) {
    free_ssl(s);
  }
}

// Sets the socket's receive time-out to what is left until the reader's
// deadline. false when nothing is left.
bool bound_receive(g_tls_t &t) {
  using namespace std::chrono;
  if (t.receive_deadline == steady_clock::time_point{})
    return true;
  const auto left = duration_cast<milliseconds>(t.receive_deadline - steady_clock::now()).count();
  if (left <= 0) {
    t.wsa_error = WSAETIMEDOUT;
    WSASetLastError(WSAETIMEDOUT);
    return false;
  }
  const DWORD timeout = static_cast<DWORD>(left);
  winapi::setsockopt(t.so.load(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
  return true;
}

// A receive that a signal interrupted is repeated on whatever `so` holds by
// then, so a disconnect ends the repetition.
int receive(g_tls_t &t, uint8_t *buffer, int length) {
  for (;;) {
    if (!bound_receive(t))
      return -1;
    int received = winapi::recv(t.so.load(), reinterpret_cast<char *>(buffer), length, 0);
    if (received > 0) {
      return received;
    }
    t.wsa_error = WSAGetLastError();
    if (t.wsa_error != WSAEINTR) {
      return received;
    }
    WSASetLastError(0);
  }
}

int transmit(g_tls_t &t, const uint8_t *data, uint64_t size) {
  return winapi::send(t.so.load(), reinterpret_cast<const char *>(data), to_length(size), 0);
}

// Hands a BUF_MEM whose fields were changed behind the BIO's back to the
// memory BIO again, without freeing it, so that the BIO's read view matches.
void attach_buffer(BIO *bio, BUF_MEM *buffer) {
  BIO_set_shutdown(bio, 0);
  BIO_set_mem_buf(bio, buffer, BIO_CLOSE);
}

// The read BIO's buffer, grown once so that socket receives land in its free
// tail without a copy; null when there is no such room.
BUF_MEM *receive_area(BIO *in, size_t need) {
  BUF_MEM *area = nullptr;
  BIO_get_mem_ptr(in, &area);
  if (area == nullptr) {
    return nullptr;
  }
  if (area->max < need) {
    size_t length = area->length;
    if (BUF_MEM_grow(area, need) == 0) {
      return nullptr;
    }
    area->length = length;
    attach_buffer(in, area);
  }
  return area->max > area->length ? area : nullptr;
}

// Sends every byte that the server's handshake queued before it waits for the
// client again: one flight (a long chain) can exceed the buffer.
bool flush_handshake(g_tls_t &t, BIO *out, int length) {
  for (;;) {
    int pending = BIO_read(out, t.p_recv, length);
    if (pending <= 0) {
      return true;
    }
    if (transmit(t, t.p_recv, static_cast<uint64_t>(pending)) <= 0) {
      return false;
    }
  }
}

int run_handshake(g_tls_t &t, ssl_st *s, int received) {
  BIO *in = SSL_get_rbio(s);
  BIO *out = SSL_get_wbio(s);
  int length = to_length(t.p_recv_size);
  int accepted = -1;
  while (SSL_is_init_finished(s) == 0) {
    if (received == 0)
      received = receive(t, t.p_recv, length);
    if (received <= 0) {
      set_tls_error(t, 0);
      break;
    }
    if (t.ssl.load() != s) {
      set_tls_error(t, -1);
      break;
    }
    ERR_clear_error();
    int written = BIO_write(in, t.p_recv, received);
    if (written <= 0) {
      record_ssl_error(t, s, written);
      break;
    }
    set_tls_error(t, SSL_ERROR_NONE);
    ERR_clear_error();
    accepted = SSL_accept(s);
    int32_t code = accepted > 0 ? SSL_ERROR_NONE : record_ssl_error(t, s, accepted);
    if (code != SSL_ERROR_NONE && code != SSL_ERROR_WANT_READ) {
      break;
    }
    if (!flush_handshake(t, out, length)) {
      set_tls_error(t, -1);
      break;
    }
    received = 0;
  }
  return accepted;
}

// Puts the buffer that was just sent back into the write BIO (it has the room
// for the next chunk), carrying over what the reader queued meanwhile; when
// that does not fit, the buffer holding it stays. Returns the bytes now queued.
size_t restore_write_buffer(BIO *out, BUF_MEM *sent) {
  BUF_MEM *queued = nullptr;
  BIO_get_mem_ptr(out, &queued);
  size_t tail = queued->length;
  if (tail > sent->max) {
    BUF_MEM_free(sent);
    return tail;
  }
  if (tail > 0) {
    std::memcpy(sent->data, queued->data, tail);
  }
  sent->length = tail;
  attach_buffer(out, sent);
  BUF_MEM_free(queued);
  return tail;
}

// Sends the ciphertext that the write BIO holds. False ends the send with
// `result`.
bool drain(g_tls_t &t, ssl_st *s, int written, bool last, int64_t &result) {
  BIO *out = SSL_get_wbio(s);
  for (;;) {
    BUF_MEM *sending = nullptr;
    BIO_get_mem_ptr(out, &sending);
    if (sending == nullptr) {
      int32_t code = record_ssl_error(t, s, written);
      wprint(L"tls.send::tls_bio_get_mem_ptr  %i  so %i %i\n", code, static_cast<int>(t.so_accepted),
             static_cast<int>(t.so.load()));
      result = written;
      return false;
    }
    if (sending->length == 0) {
      return true;
    }
    // The socket send reads `sending` with the lock released while the reader
    // may queue records (alerts, key updates) in the write BIO. They go into a
    // buffer of their own, so `sending` is neither moved nor freed meanwhile.
    BUF_MEM *queue = BUF_MEM_new();
    if (queue == nullptr) {
      set_tls_error(t, SSL_ERROR_SSL);
      result = -1;
      return false;
    }
    attach_buffer(out, queue);
    t.ssl_lock.set();
    int sent = transmit(t, reinterpret_cast<const uint8_t *>(sending->data), sending->length);
    t.ssl_lock.wait();
    size_t tail = restore_write_buffer(out, sending);
    if (sent <= 0) {
      BIO_reset(out);
      set_tls_error(t, 0);
      result = sent;
      return false;
    }
    if (tail == 0 || (!last && tail <= MERGED_TAIL_MAX)) {
      return true;
    }
  }
}

int64_t send_tls(g_tls_t &t, ssl_st *s, const uint8_t *data, uint64_t size) {
  int64_t result = static_cast<int64_t>(size);
  uint64_t done = 0;
  t.ssl_lock.wait();
  while (done < size) {
    if (t.ssl.load() != s) {
      set_tls_error(t, -1);
      result = -1;
      break;
    }
    int chunk = static_cast<int>(std::min(size - done, SEND_CHUNK));
    ERR_clear_error();
    int written = SSL_write(s, data + done, chunk);
    if (written <= 0) {
      record_ssl_error(t, s, written);
      result = written;
      break;
    }
    done += static_cast<uint64_t>(written);
    if (!drain(t, s, written, done == size, result)) {
      break;
    }
  }
  t.ssl_lock.set();
  return result;
}

void shut_socket(g_tls_t &t) {
  SOCKET old = t.so.exchange(INVALID_SOCKET);
  if (old == INVALID_SOCKET) {
    return;
  }
  if (t.abortive_close.exchange(0) != 0) {
    linger reset{1, 0};
    setsockopt(old, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset), sizeof reset);
  }
  // Shutting down wakes the slot's threads blocked on the socket; the number
  // stays taken until `release_socket`, so none of them can reach a
  // connection that a later accept gets under the same number.
  winapi::shutdown(old, SD_BOTH);
  SOCKET earlier = t.so_shut.exchange(old);
  // A socket still waiting here is from a connection whose threads are long
  // gone (the relay releases it before the slot accepts again), so closing it
  // now is safe.
  if (earlier != INVALID_SOCKET) {
    closesocket(earlier);
  }
}

// Takes the whole-send lock only if it is free; a closed lock, like a wait on
// it, does not hold anyone up.
bool try_send_lock(g_tls_t &t) {
  return t.send_lock.valid.load() == 0 || WaitForSingleObject(t.send_lock.handle.load(), 0) == WAIT_OBJECT_0;
}

// Sends the records that SSL_read queued (key update answers, alerts). Runs
// with `ssl_lock` held. The order is `send_lock`, then `ssl_lock`, so the lock
// is only waited for with `ssl_lock` released. While another thread holds it,
// the records stay: its send takes them along or, once it lets the lock go,
// it finds `records_waiting` and comes back for them.
void send_queued(g_tls_t &t, ssl_st *s) {
  if (t.ssl.load() != s || BIO_ctrl_pending(SSL_get_wbio(s)) == 0) {
    return;
  }
  t.records_waiting.store(1);
  if (!try_send_lock(t)) {
    if (BIO_ctrl_pending(SSL_get_wbio(s)) <= QUEUED_RECORDS_MAX) {
      return;
    }
    t.ssl_lock.set();
    t.send_lock.wait();
    t.ssl_lock.wait();
  }
  t.records_waiting.store(0);
  int64_t ignored = 0;
  if (t.ssl.load() == s) {
    drain(t, s, 0, true, ignored);
  }
  t.send_lock.set();
}

// Runs with `ssl_lock` held and returns with it held or, after a failed socket
// receive, released (`locked` tells which).
int64_t receive_tls(g_tls_t &t, ssl_st *s, uint8_t *buffer, uint64_t size, bool &locked) {
  BIO *in = SSL_get_rbio(s);
  int limit = to_length(size);
  // An empty buffer ends the receive as a socket receive of 0 bytes would.
  if (limit == 0) {
    return 0;
  }
  int done = 0;
  for (;;) {
    int result = -1;
    bool attached = t.ssl.load() == s;
    if (attached) {
      ERR_clear_error();
      result = SSL_read(s, buffer + done, limit - done);
    }
    if (result > 0) {
      done += result;
      if (done == limit) {
        return done;
      }
      continue;
    }
    if (done > 0) {
      return done;
    }
    if (!attached) {
      set_tls_error(t, -1);
      return -1;
    }
    if (record_ssl_error(t, s, result) != SSL_ERROR_WANT_READ) {
      return result;
    }
    // The client may be waiting for what this read queued.
    send_queued(t, s);

    BUF_MEM *area = receive_area(in, std::max(static_cast<size_t>(limit), READ_BUFFER_MIN));
    uint8_t *target = buffer;
    int room = limit;
    if (area != nullptr) {
      target = reinterpret_cast<uint8_t *>(area->data) + area->length;
      room = to_length(area->max - area->length);
    }
    // Only this thread touches the read BIO, so its tail may be filled while
    // the writer holds the lock.
    t.ssl_lock.set();
    int received = receive(t, target, room);
    if (received <= 0) {
      locked = false;
      set_tls_error(t, 0);
      return result;
    }
    t.ssl_lock.wait();
    if (t.ssl.load() != s) {
      set_tls_error(t, -1);
      return -1;
    }
    if (area != nullptr) {
      area->length += static_cast<size_t>(received);
      attach_buffer(in, area);
    } else {
      ERR_clear_error();
      int written = BIO_write(in, target, received);
      if (written <= 0) {
        record_ssl_error(t, s, written);
        return result;
      }
    }
  }
}

} // namespace

g_tls_t::g_tls_t()
    : ssl(nullptr), ref_count(0), rbio(nullptr), wbio(nullptr), so_accepted(INVALID_SOCKET), so(INVALID_SOCKET),
      abortive_close(0), wsa_error(0), tls_error(0), p_recv(nullptr), p_recv_size(0), records_waiting(0),
      so_shut(INVALID_SOCKET), ended(0) {
  ssl_lock.create(true);
  send_lock.create(true);
}

g_tls_t::~g_tls_t() {
  ssl_lock.close();
  send_lock.close();
  abortive_close.store(1);
  disconnect();
  release_socket();
}

int g_tls_t::attach_tls(ssl_ctx_st *ctx) {
  ERR_clear_error();
  ssl_st *s = SSL_new(ctx);
  if (s == nullptr) {
    return -1;
  }
  BIO *in = BIO_new(BIO_s_mem());
  BIO *out = BIO_new(BIO_s_mem());
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(s);
    return -1;
  }
  SSL_set_bio(s, in, out);
  std::atomic_ref<bio_st *>(rbio).store(in);
  std::atomic_ref<bio_st *>(wbio).store(out);
  ref_count.exchange(1);
  wsa_error = 0;
  set_tls_error(*this, 0);
  // Published last: a thread that sees the object finds its reference ready.
  ssl.store(s);
  return 0;
}

int32_t g_tls_t::tls_handshake(uint64_t received) {
  set_tls_error(*this, -1);
  ssl_st *s = ssl.load();
  if (s == nullptr || !take_reference(*this)) {
    return -1;
  }
  int accepted = -1;
  if (p_recv == nullptr || p_recv_size == 0 || received > p_recv_size) {
    wprint(L"p_recv or p_recv_size not set\n");
  } else {
    accepted = run_handshake(*this, s, static_cast<int>(received));
  }
  drop_reference(*this, s);
  return accepted == 1 ? 0 : -1;
}

int64_t g_tls_t::recv(uint8_t *buffer, uint64_t size) {
  ssl_st *s = ssl.load();
  if (s == nullptr) {
    return receive(*this, buffer, to_length(size));
  }
  if (!take_reference(*this)) {
    return -1;
  }
  ssl_lock.wait();
  bool locked = true;
  int64_t result = receive_tls(*this, s, buffer, size, locked);
  if (locked) {
    send_queued(*this, s);
    ssl_lock.set();
  }
  drop_reference(*this, s);
  return result;
}

int64_t g_tls_t::send(const uint8_t *data, uint64_t size) {
  // Whole sends are kept apart: the writer's relayed frame and the reader's
  // replies never interleave on the wire.
  send_lock.wait();
  ssl_st *s = ssl.load();
  if (s == nullptr) {
    int64_t result = transmit(*this, data, size);
    send_lock.set();
    return result;
  }
  if (!take_reference(*this)) {
    send_lock.set();
    return -1;
  }
  int64_t result = send_tls(*this, s, data, size);
  send_lock.set();
  // Records that the reader queued when it found the lock taken are this
  // thread's to send.
  if (records_waiting.load() != 0) {
    ssl_lock.wait();
    send_queued(*this, s);
    ssl_lock.set();
  }
  drop_reference(*this, s);
  return result;
}

void g_tls_t::disconnect() {
  ended.store(1);
  // The socket goes before the SSL object: a call that finds no object must
  // find no socket either, or it would send plaintext on a TLS connection or
  // hand its ciphertext to the relay as data.
  shut_socket(*this);
  ssl_st *s = ssl.exchange(nullptr);
  std::atomic_ref<bio_st *>(rbio).store(nullptr);
  std::atomic_ref<bio_st *>(wbio).store(nullptr);
  if (s != nullptr) {
    drop_reference(*this, s);
  }
}

void g_tls_t::release_socket() {
  SOCKET old = so_shut.exchange(INVALID_SOCKET);
  if (old != INVALID_SOCKET) {
    closesocket(old);
  }
}

void g_tls_t::limit_receives(std::chrono::steady_clock::time_point deadline) {
  receive_deadline = deadline;
  if (deadline == std::chrono::steady_clock::time_point{}) {
    const DWORD none = 0;
    winapi::setsockopt(so.load(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&none), sizeof none);
  }
}

void g_tls_t::open(SOCKET accepted) {
  ended.store(0);
  so_accepted = accepted;
  so.store(accepted);
}

transport_end_t g_tls_t::end_reason(int64_t result) const {
  if (result == 0 || ended.load() != 0) {
    return {0, 0};
  }
  int32_t code = WSAGetLastError();
  if (code == 0) {
    code = wsa_error;
  }
  if (code == WSAECONNABORTED || code == WSAECONNRESET) {
    return {0, 0};
  }
  if (code != 0) {
    return {code, 0};
  }
  return {0, tls_error.load()};
}

void tls_thread_end() {
  OPENSSL_thread_stop();
}
