// One connection slot: its gate events, its send area and hand-off fields,
// its WebSocket state with the transport, its flags and its two threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/winsock.h"
#include "relay/detect.h"
#include "relay/g_event.h"
#include "relay/g_thread.h"
#include "shell/config.h"
#include "websocket/g_ws.h"

class ws_request_t;

// The most pieces a reader gathers before it relays them: a receive full of
// small messages is relayed in a few hand-overs.
inline constexpr uint32_t RELAY_BATCH_PIECES = 256;

class g_task_t {
public:
  g_event_t start_r;
  g_event_t start_w;
  g_event_t send_ready;
  g_event_t send_done;
  // Written by the writer, read by senders after they took send_done, and
  // cleared by the accept loop: atomic so that no access races.
  std::atomic<int64_t> send_result{};
  std::atomic<int32_t> send_error{};
  uint8_t send_toggle{};
  uint8_t *send_buffer{};
  uint8_t *send_half{};
  uint8_t *p_send{};
  uint64_t send_half_size{};
  std::atomic<uint64_t> size_send{};
  g_ws_t ws;
  std::atomic<uint8_t> connected{};
  std::atomic<uint8_t> active{};
  std::atomic<uint8_t> running{};
  g_thread_t reader;
  g_thread_t writer;
  uint32_t index{};
  uint8_t quiet{1};
  uint8_t write{};
  uint8_t *pRAM{};
  // The peer address of this reader's accept: one record per reader, so that
  // accepts completing together never overwrite each other's.
  sockaddr_in addr_listen{};
  int addr_listen_size{};
  // Bytes of a first receive that were not a WebSocket request, kept at the
  // start of pRAM, or frames that came behind a request, kept after
  // WS_FRONT_ROOM: relayed once the connection is active.
  uint64_t pending{};
  // The slot whose message is on its way to this slot's client, -1 when none:
  // one message at a time reaches a client. Waiters on `hold_free` count
  // themselves in `hold_waiters`.
  std::atomic<int32_t> holder{-1};
  std::atomic<int32_t> hold_waiters{};
  g_event_t hold_free;
  // Counts this slot's connections, so that a sender can tell a later
  // connection from the one that its message started on.
  std::atomic<uint32_t> serial{};
  // The targets of this reader's message in progress, fixed at its first
  // piece, with their connection counts then.
  uint64_t targets{};
  uint32_t target_serial[SLOT_COUNT]{};
  uint8_t message_type{};
  // Counts the pieces this reader has relayed, and the times it took targets.
  uint64_t relayed_pieces{};
  uint64_t holds_taken{};
  // The pieces of one receive, relayed together.
  ws_piece_t batch[RELAY_BATCH_PIECES]{};
  uint32_t batch_size{};

  g_task_t();
  // The slot teardown.
  ~g_task_t();
  g_task_t(const g_task_t &) = delete;
  g_task_t &operator=(const g_task_t &) = delete;

  // Accepts and serves connections until the accept loops stop. Connections
  // aborted before they were taken, and running out of descriptors or buffers
  // (retried after a pause), do not stop them. 0 when it ended because `stop`
  // was set, -1 after another accept failure.
  int accept_loop();
  // Relays one active connection until it ends. 0 or the reported error.
  int reader_loop();
  // Hands `count` pieces of messages to this slot's writer, each framed for
  // its client, as few hand-overs as the send half allows (called by other
  // slots' readers, holding this slot for those messages) while the slot
  // still serves connection `connection`. true when all were handed over,
  // false when the rest were dropped.
  bool send_packet(const ws_piece_t *pieces, uint32_t count, uint32_t connection);
  // Takes this slot for the message of slot `sender`, waiting while another
  // sender's message is on its way. false when the slot is being torn down.
  bool take_hold(int32_t sender);
  void release_hold();
  // The writer's loop with gate `gate`. 0 when the slot stopped, -1 when the
  // gate is invalid or its wait fails.
  int work_w(g_event_t &gate);

  // The exit sequences of the reader and writer threads.
  void exit_reader();
  void exit_writer();

private:
  using clock_type = std::chrono::steady_clock;

  void serve(SOCKET so);
  void report_accept_failure(int code);
  // Tells what the client speaks and runs its handshakes; false when the
  // connection is to end.
  bool set_up();
  first_bytes_t receive_first_bytes(uint64_t *n, clock_type::time_point detected_by, clock_type::time_point limit);
  // A client set up without WebSocket whose first `n` bytes in pRAM may
  // still begin an opening request. false when the connection is to end.
  bool open_late(uint64_t n);
  bool take_first_bytes(first_bytes_t first, uint64_t n, clock_type::time_point limit);
  bool may_upgrade() const;
  bool open_websocket(uint64_t n, clock_type::time_point limit);
  bool answer(const ws_request_t &request);
  bool leave_line();
  void rejoin_line();
  void end_connection();
  bool first_receive(int64_t *n);
  int64_t relay_received(uint8_t *data, uint64_t n, uint64_t capacity);
  void add_piece(const ws_piece_t &piece);
  void relay_batch();
  bool take_send_half(uint32_t connection);
  uint32_t frame_pieces(const ws_piece_t *pieces, uint32_t count, uint32_t next, uint64_t *used);
  void hand_over(uint64_t used);
  void take_targets();
  void end_message();
  bool in_message() const;
  bool targets_awaited() const;
};

// The most a reader takes from its client at a time. A payload is at most
// this long, so that another slot can frame it within a send half of one
// packet length; the byte left behind the data also holds the decoder's NUL.
uint64_t receive_limit();

// Thread routines of a slot: reader and writer.
DWORD bootstrap_r(LPVOID slot);
DWORD bootstrap_w(LPVOID slot);

// A client's first bytes tell what it speaks: a client that sends nothing,
// or bytes that could still begin a ClientHello or "GET ", for this long is
// a raw client; a TLS client whose first data does not come this long after
// its handshake is one without WebSocket. A request that comes later is
// still answered, once its first line reads as an HTTP request line within
// DETECTION_MS of its first byte.
inline constexpr DWORD DETECTION_MS = 1000;
inline constexpr DWORD TLS_DETECTION_MS = 500;
// Detection, the TLS handshake and the opening request together: a
// connection not set up by then is closed, its slot free again.
inline constexpr DWORD SETUP_LIMIT_MS = 5000;

// A client that takes no byte of a send for this long has stalled: its
// connection ends, so that the readers relaying to it go on with the others.
inline constexpr DWORD SEND_STALL_MS = 60000;
// A relayed connection's receive waits without limit, except while one of
// its messages is in progress: its targets are held for it, so a sender that
// stalls inside a message for SEND_STALL_MS, or pauses inside one that has
// kept another sender waiting that long, is closed.
inline constexpr DWORD RELAY_TIMEOUT_MS = 0;

// Sets SO_RCVTIMEO, 0 for no limit.
void set_receive_timeout(SOCKET so, DWORD milliseconds);

// Socket options of every accepted connection: the send stall limit, and
// keep-alive 75 s idle, 75 s interval, 4 probes. Returns the OR of the option
// results.
int accepted_socket_options(SOCKET so);
