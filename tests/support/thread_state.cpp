#include "support/thread_state.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

uint32_t current_thread_id() {
  return static_cast<uint32_t>(gettid());
}

bool wait_until_sleeping(uint32_t tid, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  while (std::chrono::steady_clock::now() < deadline) {
    if (FILE *stat = fopen(path.c_str(), "re")) {
      char line[512] = {};
      const bool read = fgets(line, sizeof(line), stat) != nullptr;
      fclose(stat);
      // The state follows the command name, which is in parentheses.
      const std::string text = read ? line : "";
      const size_t close = text.rfind(')');
      if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S')
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}
