// A test client of any protocol the relay speaks, behind one interface:
// raw TCP, TLS, WebSocket (RFC 6455 or draft 76), each plain or over TLS.
// Written independently of the relay's own code, from the RFCs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

enum class peer_kind { raw, tls, ws, wss, ws76, wss76 };

const char *peer_name(peer_kind kind);

class hub_peer {
public:
  explicit hub_peer(peer_kind peer) : kind(peer) {}
  ~hub_peer();
  hub_peer(const hub_peer &) = delete;
  hub_peer &operator=(const hub_peer &) = delete;

  // Connects to 127.0.0.1:`port` and runs the TLS and WebSocket handshakes
  // its kind needs. False (with `error` set) when one fails.
  bool open(uint16_t port);
  // Sends `data`: as bytes, or as one WebSocket message (text when
  // `binary` is false; masked, as a client must).
  bool send(const std::string &data, bool binary = false);
  // Sends one WebSocket frame as given (opcode, FIN, payload), masked.
  bool send_frame(uint8_t opcode, bool fin, const std::string &payload);
  // Receives exactly `size` payload bytes: stream bytes, or the payloads of
  // as many WebSocket messages as it takes. Empty on time-out or end.
  std::string recv_bytes(size_t size, int timeout_ms);
  // Receives one WebSocket frame: its first byte and payload. False on
  // time-out or end.
  bool recv_frame(uint8_t &first_byte, std::string &payload, int timeout_ms);
  // Bytes as they come off the transport (after TLS), for exact checks.
  std::string recv_raw(size_t size, int timeout_ms);
  // True when the relay ended the connection within the deadline.
  bool wait_closed(int timeout_ms);
  void close();

  const peer_kind kind;
  std::string error;
  int fd = -1;

private:
  bool over_tls() const { return kind == peer_kind::tls || kind == peer_kind::wss || kind == peer_kind::wss76; }
  bool websocket() const { return kind != peer_kind::raw && kind != peer_kind::tls; }
  bool draft76() const { return kind == peer_kind::ws76 || kind == peer_kind::wss76; }
  bool write_all(const void *data, size_t size);
  // Reads up to `size` bytes, waiting at most `timeout_ms`; 0 on time-out, -1 at the end.
  long read_some(void *buffer, size_t size, int timeout_ms);
  bool read_exact(void *buffer, size_t size, int timeout_ms);
  // Reads a handshake response up to its empty line.
  bool read_response_head(std::string &response);
  bool handshake_6455();
  bool handshake_76();

  ssl_ctx_st *ctx = nullptr;
  ssl_st *ssl = nullptr;
  std::string pending;
};

// Formats a draft-76 key whose number is `number` times `spaces`, with
// noise characters, so that a server must divide to find `number`.
std::string draft76_key(uint32_t number, uint32_t spaces);
// The draft-76 response digest for the two numbers and the 8 key bytes.
std::string draft76_digest(uint32_t n1, uint32_t n2, const std::string &key3);
