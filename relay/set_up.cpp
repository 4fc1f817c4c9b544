#include <chrono>
#include <cstring>

#include "relay/detect.h"
#include "relay/g_task.h"
#include "relay/hub.h"
#include "shell/console.h"
#include "tls/server_ctx.h"
#include "websocket/opening_request.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char TOO_LARGE[] = "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: "
                             "0\r\n\r\n";

} // namespace

bool g_task_t::set_up() {
  const clock_type::time_point now = clock_type::now();
  const clock_type::time_point limit = now + std::chrono::milliseconds(SETUP_LIMIT_MS);
  uint64_t n = 0;
  first_bytes_t first = receive_first_bytes(&n, now + std::chrono::milliseconds(DETECTION_MS), limit);
  if (first == first_bytes_t::tls) {
    ws.tls.limit_receives(limit);
    if (!tls_ready || ws.tls.attach_tls(server_ctx.load()) != 0 || ws.tls.tls_handshake(n) != 0)
      return false;
    n = 0;
    first = receive_first_bytes(&n, clock_type::now() + std::chrono::milliseconds(TLS_DETECTION_MS), limit);
  }
  return take_first_bytes(first, n, limit);
}

bool g_task_t::open_late(uint64_t n) {
  const clock_type::time_point now = clock_type::now();
  const first_bytes_t first =
      receive_first_bytes(&n, now + std::chrono::milliseconds(DETECTION_MS), clock_type::time_point::max());
  return take_first_bytes(first, n, now + std::chrono::milliseconds(SETUP_LIMIT_MS));
}

// The `n` bytes in pRAM, of kind `first`: a request to open a WebSocket by
// `limit`, or data kept for relaying.
bool g_task_t::take_first_bytes(first_bytes_t first, uint64_t n, clock_type::time_point limit) {
  ws.tls.limit_receives({});
  if (first == first_bytes_t::websocket_request && may_upgrade())
    return open_websocket(n, limit);
  pending = n;
  return true;
}

// Receives into pRAM behind the `*n` bytes there until they tell what the
// client speaks, waiting for more until `detected_by` at the latest. Bytes
// still undecided then, and an end of the connection, are raw data.
first_bytes_t g_task_t::receive_first_bytes(uint64_t *n, clock_type::time_point detected_by,
                                            clock_type::time_point limit) {
  ws.tls.limit_receives(detected_by < limit ? detected_by : limit);
  first_bytes_t first;
  while ((first = detect(pRAM, *n)) == first_bytes_t::undecided) {
    WSASetLastError(0);
    const int64_t r = ws.tls.recv(pRAM + *n, receive_limit() - *n);
    if (r <= 0)
      return first_bytes_t::raw;
    *n += static_cast<uint64_t>(r);
  }
  return first;
}

bool g_task_t::may_upgrade() const {
  return pRAM != nullptr && hub::packet_length >= WS_MIN_PACKET_LENGTH;
}

// The `n` bytes in pRAM begin with "GET ". Their first line, whole within
// the detection time, tells an opening request from a raw client's data;
// a request is read until it is whole or `limit` passes, never kept for
// relaying, and answered. false when the connection is to end.
bool g_task_t::open_websocket(uint64_t n, clock_type::time_point limit) {
  pending = 0;
  ws_request_t request;
  uint64_t used = request.read(pRAM, n);
  const clock_type::time_point line_by = clock_type::now() + std::chrono::milliseconds(DETECTION_MS);
  ws.tls.limit_receives(line_by < limit ? line_by : limit);
  while (!request.first_line_done() && n < receive_limit()) {
    WSASetLastError(0);
    const int64_t r = ws.tls.recv(pRAM + n, receive_limit() - n);
    if (r <= 0)
      break;
    used += request.read(pRAM + n, static_cast<uint64_t>(r));
    n += static_cast<uint64_t>(r);
  }
  // A line cut by the detection time is data too; one that fills pRAM is
  // no raw client's.
  if (request.first_line_done() ? !request.is_request_line() : n < receive_limit()) {
    ws.tls.limit_receives({});
    pending = n;
    return true;
  }
  // Past the first line nothing more is kept: what follows the request is
  // received into pRAM from its start.
  ws.tls.limit_receives(limit);
  while (request.state() == request_state_t::partial) {
    WSASetLastError(0);
    const int64_t r = ws.tls.recv(pRAM, receive_limit());
    if (r <= 0)
      return false;
    n = static_cast<uint64_t>(r);
    used = request.read(pRAM, n);
  }
  ws.tls.limit_receives({});
  if (request.state() == request_state_t::too_large) {
    ws.tls.send(reinterpret_cast<const uint8_t *>(TOO_LARGE), sizeof(TOO_LARGE) - 1);
    return false;
  }
  // Frames that came right behind the request are the client's first: they
  // wait where the reader's first receive would have put them.
  const uint64_t behind = n - used;
  std::memmove(pRAM + WS_FRONT_ROOM, pRAM + used, behind);
  if (answer(request))
    pending = behind;
  return true;
}

// Answers `request`, whole or unfit. A client that opens its WebSocket after
// it was set up leaves the line meanwhile. false when it is no handshake the
// relay answers: the client stays as it was.
bool g_task_t::answer(const ws_request_t &request) {
  ws.reset_framing();
  char response[WS_HEADER_SERVER_SIZE] = {};
  const int64_t size =
      request.state() == request_state_t::whole ? ws.handshake(request.kept(), request.kept_size(), response) : 0;
  if (size <= 0) {
    aprint("\n\tInvalid or unsupported WebSocket handshake from the client!\n");
    return false;
  }
  const bool late = active.load() != 0;
  if (late && !leave_line())
    return false;
  const bool sent = ws.tls.send(reinterpret_cast<const uint8_t *>(response), static_cast<uint64_t>(size)) != -1;
  if (sent)
    ws.upgraded = 1;
  else
    aprint("[%i] tls.send(c_header_server, c_header_server_size)\n", WSAGetLastError());
  if (late)
    rejoin_line();
  return sent;
}

// While a late answer goes out, no sender frames for this client, and a
// message already on its way to it goes no further: after the answer it gets
// only whole frames, from the next message on. false when the slot is being
// torn down.
bool g_task_t::leave_line() {
  active = 0;
  serial.fetch_add(1);
  return send_done.wait() == 0;
}

void g_task_t::rejoin_line() {
  active = 1;
  send_done.set();
}
