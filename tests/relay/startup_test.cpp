// Start-up and teardown of the relay object in this process: the pool's
// sizing, each slot's share, the threads at their gates, and a clean-up that
// leaves no thread behind.
#include "relay/g_socket.h"

#include <gtest/gtest.h>

#include <climits>
#include <cwctype>
#include <dirent.h>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "relay/hub.h"
#include "support/tcp_client.h"

namespace {

int thread_count();

// Threads that ended may take a moment to leave the process's list.
int settled_thread_count(int expected) {
  int count = thread_count();
  for (int i = 0; i < 200 && count != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = thread_count();
  }
  return count;
}

int thread_count() {
  // A sanitizer runtime starts a helper thread with the first thread
  // created; let that happen before anything is counted.
  static const bool warmed_up = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed_up;
  int count = 0;
  DIR *dir = opendir("/proc/self/task");
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.')
      ++count;
  closedir(dir);
  return count;
}

// A zero-filled relay object built from a command line, destroyed the way the
// entry does it.
class relay_object {
public:
  explicit relay_object(std::vector<std::wstring> args) : arguments(std::move(args)) {
    argv.push_back(const_cast<wchar_t *>(L"relayhub"));
    for (auto &a : arguments)
      argv.push_back(a.data());
    memset(storage, 0, sizeof(storage));
    relay = new (storage) G_SOCKET(static_cast<int>(argv.size()), argv.data());
  }
  ~relay_object() {
    relay->release();
    relay->~G_SOCKET();
  }
  G_SOCKET *operator->() { return relay; }

private:
  std::vector<std::wstring> arguments;
  std::vector<wchar_t *> argv;
  alignas(G_SOCKET) unsigned char storage[sizeof(G_SOCKET)];
  G_SOCKET *relay;
};

struct sizing_case {
  std::vector<std::wstring> args;
  uint64_t packet_length;
  uint64_t unit;
  uint64_t page_count;
  uint32_t connections;
};

void PrintTo(const sizing_case &c, std::ostream *os) {
  *os << "L " << c.packet_length << ", c " << c.connections;
}

class StartUp : public ::testing::TestWithParam<sizing_case> {};

TEST_P(StartUp, CarvesThePoolIntoSlotShares) {
  const sizing_case &c = GetParam();
  const int before = thread_count();
  {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto relay = std::make_unique<relay_object>(c.args);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ((*relay)->configured, 1);
    G_SOCKET &r = *(*relay).operator->();
    ASSERT_EQ(r.ram.page_size, 2097152u) << "these cases assume 2 MiB pages";
    EXPECT_EQ(r.ram.page_count, c.page_count);
    EXPECT_EQ(hub::packet_length, c.packet_length);
    EXPECT_EQ(hub::so_buffer_size, 2 * c.packet_length);
    for (uint32_t i = 0; i < 32; ++i) {
      g_task_t &t = r.tasks[i];
      EXPECT_EQ(t.index, i);
      if (i >= c.connections) {
        EXPECT_EQ(t.running, 0);
        EXPECT_EQ(t.pRAM, nullptr);
        EXPECT_FALSE(t.reader.valid);
        EXPECT_TRUE(t.send_ready.valid && t.send_done.valid);
        continue;
      }
      EXPECT_EQ(t.pRAM, r.ram.base + i * 3 * c.unit);
      EXPECT_EQ(t.send_buffer, t.pRAM + c.unit);
      EXPECT_EQ(t.send_half, t.send_buffer);
      EXPECT_EQ(t.send_half_size, c.packet_length);
      EXPECT_EQ(t.ws.tls.p_recv, t.pRAM);
      EXPECT_EQ(t.ws.tls.p_recv_size, c.packet_length);
      EXPECT_EQ(t.running, 1);
      EXPECT_TRUE(t.reader.valid && t.writer.valid && t.start_r.valid && t.start_w.valid);
    }
    // Two threads per used slot and the watcher wait at their gates.
    EXPECT_EQ(thread_count(), before + 2 * static_cast<int>(c.connections) + 1);
  }
  EXPECT_EQ(settled_thread_count(before), before);
  EXPECT_EQ(hub::slot_counter, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StartUp,
                         ::testing::Values(sizing_case{{}, 4096, 4096, 1, 32},
                                           sizing_case{{L"-L", L"5000", L"-c", L"4"}, 5000, 8192, 1, 4},
                                           sizing_case{{L"-L", L"65507"}, 65507, 65536, 3, 32},
                                           sizing_case{{L"-L", L"0", L"-c", L"2"}, 2097152, 2097152, 6, 2},
                                           sizing_case{{L"-L", L"-1", L"-c", L"1"}, 2097152, 2097152, 3, 1}),
                         [](const testing::TestParamInfo<sizing_case> &p) {
                           std::string name;
                           for (const std::wstring &arg : p.param.args) {
                             name += name.empty() ? "" : "_";
                             const bool negative = arg.size() > 1 && arg[0] == L'-' && iswdigit(arg[1]);
                             name += negative ? "minus_" : "";
                             for (wchar_t ch : arg)
                               if (iswalnum(ch))
                                 name += static_cast<char>(ch);
                           }
                           return name.empty() ? std::string("defaults") : name;
                         });

TEST(StartUp, HelpBuildsNoThreadsAndNoPool) {
  const int before = thread_count();
  {
    testing::internal::CaptureStdout();
    relay_object relay({L"--help"});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(relay->configured, 0);
    EXPECT_EQ(relay->ram.base, nullptr);
    EXPECT_EQ(thread_count(), before);
    for (uint32_t i = 0; i < 32; ++i) {
      EXPECT_EQ(relay->tasks[i].running, 0);
      EXPECT_EQ(relay->tasks[i].quiet, 1) << "an unconfigured slot is quiet";
    }
  }
  EXPECT_EQ(hub::slot_counter, 0u);
}

// setsockopt takes an int: a send buffer size beyond it must ask for the
// most the system grants, not wrap to a small or negative size.
TEST(ListenSocketOptions, SendBufferBeyondAnIntAsksForTheMost) {
  testing::internal::CaptureStdout();
  relay_object relay({L"--help"});
  testing::internal::GetCapturedStdout();
  const uint64_t saved = hub::so_buffer_size;
  auto granted_for = [&](uint64_t size) {
    hub::so_buffer_size = size;
    const SOCKET so = winapi::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    relay->listen_socket_options(so);
    const int granted = linux_send_buffer(static_cast<int>(so));
    winapi::closesocket(so);
    return granted;
  };
  const int most = granted_for(INT_MAX);
  EXPECT_GT(most, 0);
  for (uint64_t size : {uint64_t{INT_MAX} + 1, (uint64_t{1} << 32) + 4096, ~uint64_t{0}})
    EXPECT_EQ(granted_for(size), most) << size;
  hub::so_buffer_size = saved;
}

} // namespace
