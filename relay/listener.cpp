#include "relay/g_socket.h"

#include <algorithm>
#include <climits>

#include "relay/hub.h"
#include "shell/console.h"
#include "tls/server_ctx.h"

namespace {

int set_int(SOCKET so, int level, int option, int value) {
  return winapi::setsockopt(so, level, option, reinterpret_cast<const char *>(&value), sizeof(value));
}

// setsockopt takes an int: a larger size asks for the most there is instead
// of wrapping to a small or negative one.
int option_size(uint64_t bytes) {
  return static_cast<int>(std::min<uint64_t>(bytes, INT_MAX));
}

} // namespace

int G_SOCKET::listen_socket_options(SOCKET so) {
  int result = set_int(so, SOL_SOCKET, SO_RCVBUF, static_cast<int>(hub::packet_length));
  result |= set_int(so, SOL_SOCKET, SO_SNDBUF, option_size(hub::so_buffer_size));
  result |= set_int(so, IPPROTO_TCP, TCP_NODELAY, 1);
  if (hub::listen)
    result |= set_int(so, IPPROTO_TCP, TCP_FASTOPEN, connections);
  result |= set_int(so, SOL_SOCKET, SO_REUSEADDR, 1);
  return result;
}

void set_receive_timeout(SOCKET so, DWORD milliseconds) {
  winapi::setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&milliseconds), sizeof(milliseconds));
}

int accepted_socket_options(SOCKET so) {
  const DWORD stall = SEND_STALL_MS;
  int result = winapi::setsockopt(so, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&stall), sizeof(stall));
  result |= set_int(so, SOL_SOCKET, SO_KEEPALIVE, 1);
  result |= set_int(so, IPPROTO_TCP, TCP_KEEPIDLE, 75);
  result |= set_int(so, IPPROTO_TCP, TCP_KEEPINTVL, 75);
  result |= set_int(so, IPPROTO_TCP, TCP_KEEPCNT, 4);
  return result;
}

int G_SOCKET::listening_run() {
  SOCKET so = winapi::socket(AF_INET, so_type, so_protocol);
  if (so == INVALID_SOCKET)
    return static_cast<int>(
        print_error(static_cast<uint32_t>(WSAGetLastError()), L"socket(AF_INET, cso_type, cso_protocol)"));
  listen_socket_options(so);

  wprint(L":: bind(%hs:%u)  ", ip_local[0] != '\0' ? ip_local : "0.0.0.0", port_local);
  if (winapi::bind(so, reinterpret_cast<const sockaddr *>(&addr_local), sizeof(addr_local)) != 0) {
    const uint32_t code = print_error(static_cast<uint32_t>(WSAGetLastError()),
                                      L"\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))");
    closesocket(so);
    return static_cast<int>(code);
  }
  if (winapi::listen(so, connections) != 0) {
    const uint32_t code = print_error(static_cast<uint32_t>(WSAGetLastError()), L"listen(so, cw_connections)");
    closesocket(so);
    return static_cast<int>(code);
  }
  const bool tls = tls_ready != 0;
  wprint(L"RAW%ls WS%ls  max connections: %u\n:: waiting for client connection...\n\n", tls ? L" TLS" : L"",
         tls ? L" WSS" : L"", connections);

  hub::so_listen = so;
  // A stop requested before the socket was published would have missed it.
  if (hub::stop)
    hub::close_listener();

  for (uint32_t i = 0; i < connections; ++i)
    tasks[i].start_r.set();
  for (uint32_t i = 0; i < connections; ++i)
    if (tasks[i].reader.valid)
      tasks[i].reader.wait();
  return 0;
}

void G_SOCKET::request_stop() {
  hub::closing = 1;
  hub::stop = 1;
  hub::close_listener();
  // A reader that stores its connection after this pass sees `closing` and
  // ends the connection itself (both sides use sequentially consistent order).
  for (uint32_t i = 0; i < connections; ++i)
    tasks[i].ws.tls.disconnect();
}
