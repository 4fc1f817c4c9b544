#include <atomic>
#include <chrono>
#include <cstring>

#include "relay/detect.h"
#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"
#include "tls/server_ctx.h"

namespace {

constexpr DWORD DETECTION_TIMEOUT_MS = 500;
// How long an accept loop waits after the process ran out of descriptors or
// buffers, so that it retries without spinning.
constexpr DWORD EXHAUSTION_PAUSE_MS = 100;

// Failures this close together are one episode of exhaustion, reported once:
// while connections end and others wait, accepts succeed and fail in turn.
constexpr std::chrono::seconds EXHAUSTION_EPISODE_GAP{60};

bool is_exhaustion(int code) {
  return code == WSAEMFILE || code == WSAENOBUFS;
}

// Records an exhaustion failure; true for the first of an episode.
bool first_of_exhaustion() {
  using clock = std::chrono::steady_clock;
  static std::atomic<clock::rep> quiet_until{clock::time_point::min().time_since_epoch().count()};
  const clock::time_point now = clock::now();
  const clock::rep until = quiet_until.exchange((now + EXHAUSTION_EPISODE_GAP).time_since_epoch().count());
  return now.time_since_epoch().count() >= until;
}

} // namespace

DWORD bootstrap_r(LPVOID slot) {
  g_task_t *t = static_cast<g_task_t *>(slot);
  if (t->start_r.valid && t->start_r.wait() == 0 && t->start_r.valid && hub::listen)
    t->accept_loop();
  t->exit_reader();
  tls_thread_end();
  return 0;
}

int g_task_t::accept_loop() {
  if (hub::stop)
    return 0;
  for (;;) {
    addr_listen_size = sizeof(addr_listen);
    const SOCKET listener = hub::so_listen.load();
    SOCKET so = winapi::accept(listener, reinterpret_cast<sockaddr *>(&addr_listen), &addr_listen_size);
    if (so != INVALID_SOCKET) {
      serve(so);
    } else {
      const int code = WSAGetLastError();
      if (is_exhaustion(code)) {
        // The connection waits in the backlog until a descriptor or buffer
        // is free again.
        if (first_of_exhaustion())
          report_accept_failure(code);
        Sleep(EXHAUSTION_PAUSE_MS);
      } else if (code != WSAECONNRESET && code != WSAECONNABORTED) {
        if (code == WSAEINTR)
          hub::close_listener();
        if (hub::stop)
          return -1;
        hub::stop = 1;
        running = 0;
        if (hub::so_listen.load() != INVALID_SOCKET)
          report_accept_failure(code);
        return -1;
      }
    }
    if (hub::stop)
      return 0;
  }
}

void g_task_t::report_accept_failure(int code) {
  wprint(L"!! server %02u  accept(so_listen:%i, (sockaddr *) &addr_listen:%08llx, &addr_listen_size:%u)\n", index,
         static_cast<int>(hub::so_listen.load()), reinterpret_cast<unsigned long long>(&addr_listen), addr_listen_size);
  print_error(static_cast<uint32_t>(code), nullptr);
}

void g_task_t::serve(SOCKET so) {
  const int32_t n = hub::active_count.fetch_add(1) + 1;
  connected = 1;
  if (!quiet) {
    const uint8_t *a = reinterpret_cast<const uint8_t *>(&addr_listen.sin_addr);
    wprint(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  so %i  ", a[0], a[1], a[2], a[3],
           ntohs(addr_listen.sin_port), index, n, hub::connections, static_cast<int>(so));
    hub::line_pending = 1;
  }
  accepted_socket_options(so);
  set_receive_timeout(so, DETECTION_TIMEOUT_MS);
  ws.tls.open(so);

  // A stop from outside that ran its pass before the store above missed this
  // connection; it is ended here instead.
  if (!hub::closing) {
    detect_and_handshake();
    if (connected && !hub::closing) {
      const wchar_t *word = ws.tls.ssl ? (ws.upgraded ? L"WSS" : L"TLS") : (ws.upgraded ? L"WS" : L"RAW");
      set_receive_timeout(so, RELAY_TIMEOUT_MS);
      send_result = 0;
      send_error = 0;
      size_send = 0;
      // Failures seen while detecting must not be taken for the relay's own.
      ws.tls.wsa_error = 0;
      ws.tls.tls_error = 0;
      serial.fetch_add(1);
      active = 1;
      start_w.set();
      // Printed once the client is set up: whoever reads the word may send to it.
      if (!quiet && hub::active_count.load() == n) {
        hub::line_pending = 0;
        wprint(L"%ls\n", word);
      }
      reader_loop();
    }
  }
  end_connection();
}

// Finds out whether the client speaks TLS and whether it opens with a
// WebSocket request, and runs the handshakes. Clears `connected` when the
// connection is to be ended at once.
void g_task_t::detect_and_handshake() {
  uint8_t peek[DETECT_BYTES];
  int r;
  while ((r = winapi::recv(ws.tls.so, reinterpret_cast<char *>(peek), sizeof(peek), MSG_PEEK)) <= 0) {
    ws.tls.wsa_error = WSAGetLastError();
    if (ws.tls.wsa_error != WSAEINTR)
      break;
    WSASetLastError(0);
  }
  if (detect(peek, r > 0 ? static_cast<size_t>(r) : 0) == first_bytes_t::tls) {
    if (!tls_ready || ws.tls.attach_tls(server_ctx.load()) != 0 || ws.tls.tls_handshake() != 0) {
      connected = 0;
      return;
    }
  }
  if (pRAM != nullptr && hub::packet_length >= WS_MIN_PACKET_LENGTH)
    websocket_handshake();
}

void g_task_t::websocket_handshake() {
  if (ws.tls.ssl == nullptr) {
    uint8_t get[4];
    const int r = winapi::recv(ws.tls.so, reinterpret_cast<char *>(get), sizeof(get), MSG_PEEK);
    if (r != sizeof(get) || detect(get, sizeof(get)) != first_bytes_t::websocket_request)
      return;
  }
  // A request that comes later is answered by the reader.
  const int64_t n = ws.tls.recv(pRAM, receive_limit());
  if (n <= 0)
    return;
  if (detect(pRAM, static_cast<size_t>(n)) != first_bytes_t::websocket_request) {
    aprint("\n\tInvalid or unsupported WebSocket handshake from the client!\n");
    // A TLS client that is no WebSocket client keeps its first message.
    pending = static_cast<uint64_t>(n);
    return;
  }
  if (!answer_request(static_cast<uint64_t>(n)))
    connected = 0;
}

bool g_task_t::may_upgrade() const {
  return pRAM != nullptr && hub::packet_length >= WS_MIN_PACKET_LENGTH;
}

// Gathers the opening request whose first `n` bytes are in pRAM until it is
// whole, waiting at most the detection time for each part, and answers it.
// false when it never completed: the connection ends, and its bytes are
// never relayed.
bool g_task_t::answer_request(uint64_t n) {
  const uint64_t limit = receive_limit();
  set_receive_timeout(ws.tls.so, DETECTION_TIMEOUT_MS);
  uint64_t length;
  while ((length = request_length(pRAM, n)) == 0 || n < length) {
    const int64_t r = n < limit ? ws.tls.recv(pRAM + n, limit - n) : 0;
    if (r <= 0)
      return false;
    n += static_cast<uint64_t>(r);
  }
  set_receive_timeout(ws.tls.so, RELAY_TIMEOUT_MS);
  const uint8_t behind = pRAM[length];
  pRAM[length] = 0;
  ws.reset_framing();
  char c_header_server[WS_HEADER_SERVER_SIZE] = {};
  const int64_t c_header_server_size = ws.handshake(pRAM, length, c_header_server);
  pRAM[length] = behind;
  if (c_header_server_size <= 0) {
    aprint("\n\tInvalid or unsupported WebSocket handshake from the client!\n");
    return true;
  }
  const int32_t size = static_cast<int32_t>(c_header_server_size);
  if (ws.tls.send(reinterpret_cast<const uint8_t *>(c_header_server), static_cast<uint64_t>(size)) == -1) {
    aprint("[%i] tls.send(c_header_server, c_header_server_size)\n", WSAGetLastError());
    return true;
  }
  ws.upgraded = 1;
  // Frames that came right behind the request are the client's first: they
  // wait where the reader's first receive would have put them.
  pending = n - length;
  std::memmove(pRAM + WS_FRONT_ROOM, pRAM + length, pending);
  return true;
}

void g_task_t::end_connection() {
  const int so = static_cast<int>(ws.tls.so_accepted);
  ws.tls.disconnect();
  active = 0;
  connected = 0;
  ws.upgraded = 0;
  pending = 0;
  // The descriptor is closed only once the writer is idle: until then its
  // number cannot be handed to another connection while a send may use it.
  if (send_done.wait() == 0) {
    ws.tls.release_socket();
    send_done.set();
  }
  const int32_t m = hub::active_count.fetch_sub(1) - 1;
  if (!quiet) {
    if (hub::line_pending.exchange(0))
      wprint(L"\n\n");
    wprint(L":: server_%02u.fin  active %02u/%02u  so %i\n", index, m, hub::connections, so);
  }
}
