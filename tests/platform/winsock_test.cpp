#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "platform/sync.h"
#include "support/thread_state.h"
#include "system_helpers.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr DWORD bounded_ms = 5000;

long long elapsed_ms(steady::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count();
}

sockaddr_in loopback_address(u_short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.S_un.S_addr = inet_addr("127.0.0.1");
  return address;
}

TEST(PlatformWinsockStartupTest, GrantsUpToVersionTwoTwo) {
  struct row {
    WORD requested;
    int result;
    WORD granted;
  };
  const row rows[] = {
      {0x0202, 0, 0x0202},
      {0x0303, 0, 0x0202},
      {0x0101, 0, 0x0101},
      {0x0200, WSAVERNOTSUPPORTED, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.requested);
    WSADATA data{};
    EXPECT_EQ(WSAStartup(r.requested, &data), r.result);
    if (r.result == 0) {
      EXPECT_EQ(data.wVersion, r.granted);
      EXPECT_EQ(data.wHighVersion, 0x0202);
      EXPECT_EQ(WSACleanup(), 0);
    }
  }
}

// An IPv4 address as it lies in memory: in network byte order.
unsigned long network_order(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  const unsigned char bytes[4] = {a, b, c, d};
  uint32_t address;
  memcpy(&address, bytes, sizeof(address));
  return address;
}

TEST(PlatformWinsockAddressTest, InetAddrAndByteOrder) {
  struct row {
    const char *text;
    unsigned long address;
  };
  const row rows[] = {
      {"127.0.0.1", network_order(127, 0, 0, 1)},
      {"0.0.0.0", 0},
      {"10.1.2.3", network_order(10, 1, 2, 3)},
      {"", INADDR_NONE},
      {"256.0.0.1", INADDR_NONE},
      {"localhost", INADDR_NONE},
  };
  for (const row &r : rows)
    EXPECT_EQ(inet_addr(r.text), r.address) << r.text;

  const u_short port = htons(0x1234);
  unsigned char bytes[2];
  memcpy(bytes, &port, sizeof(bytes));
  EXPECT_EQ(bytes[0], 0x12);
  EXPECT_EQ(bytes[1], 0x34);
  EXPECT_EQ(ntohs(port), 0x1234);
}

// A listening socket on 127.0.0.1 with a port of the system's choice, and
// the connections made to it.
class PlatformLoopbackTest : public testing::Test {
protected:
  void SetUp() override {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in address = loopback_address(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    int size = sizeof(address);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
    EXPECT_EQ(size, static_cast<int>(sizeof(address)));
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(address.sin_addr.S_un.S_addr, inet_addr("127.0.0.1"));
    port = ntohs(address.sin_port);
    ASSERT_NE(port, 0);
  }

  void TearDown() override {
    for (SOCKET s : {listener, client, server})
      if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
  }

  // Connects `client` and accepts the connection into `server`.
  void connect_pair() {
    const int fd = loopback_connect(port);
    ASSERT_GE(fd, 0);
    client = static_cast<SOCKET>(fd);
    sockaddr_in peer{};
    int size = sizeof(peer);
    server = accept(listener, reinterpret_cast<sockaddr *>(&peer), &size);
    ASSERT_NE(server, INVALID_SOCKET);
    EXPECT_EQ(size, static_cast<int>(sizeof(peer)));
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(peer.sin_addr.S_un.S_addr, inet_addr("127.0.0.1"));
    EXPECT_NE(peer.sin_port, 0);
  }

  SOCKET listener = INVALID_SOCKET;
  SOCKET client = INVALID_SOCKET;
  SOCKET server = INVALID_SOCKET;
  u_short port = 0;
};

// A thread that makes one blocking socket call and records its outcome.
struct blocked_call {
  std::function<int()> call;
  int result = 0;
  int error = 0;
  std::atomic<bool> unwound{false};
  DWORD thread_id = 0;
  HANDLE thread = nullptr;
};

struct unwind_witness {
  std::atomic<bool> *unwound;
  ~unwind_witness() { unwound->store(true); }
};

DWORD blocked_call_main(LPVOID parameter) {
  auto *b = static_cast<blocked_call *>(parameter);
  unwind_witness witness{&b->unwound};
  WSASetLastError(0);
  b->result = b->call();
  b->error = WSAGetLastError();
  return 0;
}

void start_blocked(blocked_call &b) {
  b.thread = CreateThread(nullptr, 0, blocked_call_main, &b, 0, &b.thread_id);
  ASSERT_NE(b.thread, nullptr);
  EXPECT_TRUE(wait_until_sleeping(b.thread_id, bounded_ms));
}

TEST_F(PlatformLoopbackTest, AcceptBlockedOnAListenerShutDownAndClosedFailsWithWsaeintr) {
  blocked_call b;
  b.call = [s = listener] { return accept(s, nullptr, nullptr) == INVALID_SOCKET ? SOCKET_ERROR : 0; };
  start_blocked(b);
  EXPECT_EQ(shutdown(listener, SD_BOTH), 0);
  EXPECT_EQ(closesocket(listener), 0);
  listener = INVALID_SOCKET;
  ASSERT_EQ(WaitForSingleObject(b.thread, bounded_ms), WAIT_OBJECT_0);
  EXPECT_EQ(b.result, SOCKET_ERROR);
  EXPECT_EQ(b.error, WSAEINTR);
  EXPECT_TRUE(CloseHandle(b.thread));
}

TEST_F(PlatformLoopbackTest, RecvBlockedOnASocketShutDownReturnsZero) {
  connect_pair();
  blocked_call b;
  char byte;
  b.call = [this, &byte] { return recv(server, &byte, 1, 0); };
  start_blocked(b);
  EXPECT_EQ(shutdown(server, SD_BOTH), 0);
  ASSERT_EQ(WaitForSingleObject(b.thread, bounded_ms), WAIT_OBJECT_0);
  EXPECT_EQ(b.result, 0);
  EXPECT_TRUE(CloseHandle(b.thread));
}

TEST_F(PlatformLoopbackTest, TerminateStopsAThreadBlockedInRecv) {
  connect_pair();
  blocked_call b;
  char byte;
  b.call = [this, &byte] { return recv(server, &byte, 1, 0); };
  start_blocked(b);
  EXPECT_TRUE(TerminateThread(b.thread, 9));
  EXPECT_EQ(WaitForSingleObject(b.thread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(b.unwound);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(b.thread, &code));
  EXPECT_EQ(code, 9u);
  EXPECT_TRUE(CloseHandle(b.thread));
  // The connection itself is untouched.
  EXPECT_EQ(send(client, "ok", 2, 0), 2);
  char text[2];
  EXPECT_EQ(recv(server, text, 2, 0), 2);
}

TEST_F(PlatformLoopbackTest, SendToAResetPeerFailsInsteadOfRaisingSigpipe) {
  struct sigaction action {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
  ASSERT_EQ(action.sa_handler, SIG_DFL) << "SIGPIPE would not end the process";
  connect_pair();
  const linger reset{1, 0};
  ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset), sizeof(reset)), 0);
  ASSERT_EQ(closesocket(client), 0);
  client = INVALID_SOCKET;

  char data[1024] = {};
  int result = 0;
  int code = 0;
  for (int i = 0; i < 200 && result != SOCKET_ERROR; ++i) {
    result = send(server, data, sizeof(data), 0);
    if (result == SOCKET_ERROR)
      code = WSAGetLastError();
    else
      Sleep(5);
  }
  ASSERT_EQ(result, SOCKET_ERROR);
  EXPECT_TRUE(code == WSAECONNRESET || code == WSAECONNABORTED) << code;
  EXPECT_EQ(send(server, data, sizeof(data), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNABORTED);
}

// A send to a peer that stops reading fails as a whole once it has made no
// progress for the time-out, even after part of it left.
TEST_F(PlatformLoopbackTest, SendTimeOutFailsTheWholeSendWithWsaetimedout) {
  connect_pair();
  const DWORD timeout = 200;
  ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&timeout), sizeof(timeout)), 0);
  const std::string data(16 << 20, 'x');
  const auto start = steady::now();
  EXPECT_EQ(send(server, data.data(), static_cast<int>(data.size()), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
  EXPECT_LT(elapsed_ms(start), bounded_ms);
}

TEST_F(PlatformLoopbackTest, ReceiveTimeOutGivesWsaetimedoutAndZeroWaitsWithoutLimit) {
  connect_pair();
  const DWORD timeout = 100;
  ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof(timeout)), 0);
  char buffer[8];
  const auto start = steady::now();
  EXPECT_EQ(recv(server, buffer, sizeof(buffer), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
  EXPECT_GE(elapsed_ms(start), 90);
  EXPECT_LT(elapsed_ms(start), bounded_ms);

  const DWORD no_timeout = 0;
  ASSERT_EQ(
      setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&no_timeout), sizeof(no_timeout)), 0);
  blocked_call b;
  b.call = [this, &buffer] { return recv(server, buffer, sizeof(buffer), 0); };
  start_blocked(b);
  Sleep(300);
  EXPECT_EQ(send(client, "late", 4, 0), 4);
  ASSERT_EQ(WaitForSingleObject(b.thread, bounded_ms), WAIT_OBJECT_0);
  EXPECT_EQ(b.result, 4);
  EXPECT_EQ(std::string(buffer, 4), "late");
  EXPECT_TRUE(CloseHandle(b.thread));
}

TEST_F(PlatformLoopbackTest, PeekLeavesTheBytesQueued) {
  connect_pair();
  ASSERT_EQ(send(client, "GET /", 5, 0), 5);
  char buffer[8] = {};
  EXPECT_EQ(recv(server, buffer, 4, MSG_PEEK), 4);
  EXPECT_EQ(std::string(buffer, 4), "GET ");
  EXPECT_EQ(recv(server, buffer, 5, 0), 5);
  EXPECT_EQ(std::string(buffer, 5), "GET /");
}

TEST_F(PlatformLoopbackTest, OptionsReachLinuxTranslated) {
  connect_pair();
  struct row {
    int level;
    int name;
    int value;
  };
  const row rows[] = {
      {SOL_SOCKET, SO_REUSEADDR, 1},    {SOL_SOCKET, SO_KEEPALIVE, 1}, {SOL_SOCKET, SO_SNDBUF, 65536},
      {SOL_SOCKET, SO_RCVBUF, 32768},   {IPPROTO_TCP, TCP_NODELAY, 1}, {IPPROTO_TCP, TCP_KEEPIDLE, 75},
      {IPPROTO_TCP, TCP_KEEPINTVL, 61}, {IPPROTO_TCP, TCP_KEEPCNT, 4},
  };
  for (const row &r : rows)
    EXPECT_EQ(setsockopt(server, r.level, r.name, reinterpret_cast<const char *>(&r.value), sizeof(r.value)), 0)
        << r.level << " " << r.name;
  const linger graceful{1, 3};
  EXPECT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&graceful), sizeof(graceful)), 0);
  const DWORD timeout = 1500;
  EXPECT_EQ(setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof(timeout)), 0);
  const int queue = 5;
  EXPECT_EQ(setsockopt(listener, IPPROTO_TCP, TCP_FASTOPEN, reinterpret_cast<const char *>(&queue), sizeof(queue)), 0);

  const linux_socket_options seen = read_socket_options(static_cast<int>(server));
  EXPECT_EQ(seen.reuseaddr, 1);
  EXPECT_EQ(seen.keepalive, 1);
  EXPECT_GE(seen.sndbuf, 65536);
  EXPECT_GE(seen.rcvbuf, 32768);
  EXPECT_EQ(seen.nodelay, 1);
  EXPECT_EQ(seen.keepidle, 75);
  EXPECT_EQ(seen.keepintvl, 61);
  EXPECT_EQ(seen.keepcnt, 4);
  EXPECT_EQ(seen.linger_onoff, 1);
  EXPECT_EQ(seen.linger_seconds, 3);
  EXPECT_EQ(seen.rcvtimeo_ms, 1500);
  EXPECT_EQ(read_socket_options(static_cast<int>(listener)).fastopen, 5);
}

TEST_F(PlatformLoopbackTest, SystemErrorsArriveAsWsaCodes) {
  const int pipe_end = non_socket_descriptor();
  ASSERT_GE(pipe_end, 0);
  const SOCKET not_a_socket = static_cast<SOCKET>(pipe_end);
  const SOCKET fresh = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(fresh, INVALID_SOCKET);
  // Closed last, so that no later descriptor takes its number.
  const SOCKET closed = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(closed, INVALID_SOCKET);
  ASSERT_EQ(closesocket(closed), 0);
  const sockaddr_in taken = loopback_address(port);
  const sockaddr_in any_port = loopback_address(0);
  const auto *taken_name = reinterpret_cast<const sockaddr *>(&taken);
  const auto *any_name = reinterpret_cast<const sockaddr *>(&any_port);
  const DWORD milliseconds = 100;
  const auto *option = reinterpret_cast<const char *>(&milliseconds);
  char byte = 0;
  sockaddr_in name{};
  int name_size = sizeof(name);

  struct row {
    const char *what;
    std::function<int()> call;
    int code;
  };
  const row rows[] = {
      {"bind to a port in use", [&] { return bind(fresh, taken_name, sizeof(taken)); }, WSAEADDRINUSE},
      {"bind a bound socket", [&] { return bind(listener, any_name, sizeof(any_port)); }, WSAEINVAL},
      {"address shorter than sockaddr_in", [&] { return bind(fresh, any_name, 8); }, WSAEFAULT},
      {"recv on a listening socket", [&] { return recv(listener, &byte, 1, 0); }, WSAENOTCONN},
      {"send on an unconnected socket", [&] { return send(fresh, "x", 1, 0); }, WSAECONNABORTED},
      {"shutdown of an unconnected socket", [&] { return shutdown(fresh, SD_BOTH); }, WSAENOTCONN},
      {"recv on a pipe", [&] { return recv(not_a_socket, &byte, 1, 0); }, WSAENOTSOCK},
      {"recv on a closed descriptor", [&] { return recv(closed, &byte, 1, 0); }, WSAEBADF},
      {"unknown recv flag", [&] { return recv(fresh, &byte, 1, 0x40); }, WSAEOPNOTSUPP},
      {"unknown option", [&] { return setsockopt(fresh, SOL_SOCKET, 0x7777, option, 4); }, WSAENOPROTOOPT},
      {"unknown level", [&] { return setsockopt(fresh, 0x1234, SO_REUSEADDR, option, 4); }, WSAENOPROTOOPT},
      {"option value too short", [&] { return setsockopt(fresh, SOL_SOCKET, SO_RCVTIMEO, option, 2); }, WSAEFAULT},
      {"name of an unbound socket", [&] { return getsockname(fresh, reinterpret_cast<sockaddr *>(&name), &name_size); },
       WSAEINVAL},
      {"address family", [&] { return socket(23, SOCK_STREAM, 0) == INVALID_SOCKET ? SOCKET_ERROR : 0; },
       WSAEAFNOSUPPORT},
      {"accept on INVALID_SOCKET",
       [&] { return accept(INVALID_SOCKET, nullptr, nullptr) == INVALID_SOCKET ? SOCKET_ERROR : 0; }, WSAENOTSOCK},
      {"recv on INVALID_SOCKET", [&] { return recv(INVALID_SOCKET, &byte, 1, 0); }, WSAENOTSOCK},
      {"send on INVALID_SOCKET", [&] { return send(INVALID_SOCKET, "x", 1, 0); }, WSAENOTSOCK},
      {"setsockopt on INVALID_SOCKET", [&] { return setsockopt(INVALID_SOCKET, SOL_SOCKET, SO_KEEPALIVE, option, 4); },
       WSAENOTSOCK},
      {"shutdown of INVALID_SOCKET", [&] { return shutdown(INVALID_SOCKET, SD_BOTH); }, WSAENOTSOCK},
      {"closesocket of INVALID_SOCKET", [&] { return closesocket(INVALID_SOCKET); }, WSAENOTSOCK},
  };
  for (const row &r : rows) {
    WSASetLastError(0);
    EXPECT_EQ(r.call(), SOCKET_ERROR) << r.what;
    EXPECT_EQ(WSAGetLastError(), r.code) << r.what;
    EXPECT_EQ(static_cast<int>(GetLastError()), r.code) << r.what << ": one last error per thread";
  }
  close_descriptor(pipe_end);
  closesocket(fresh);
}

} // namespace
