// Runs the real relay executable for a test: arguments, working directory,
// captured standard output and error, and a bounded stop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class relay_process {
public:
  relay_process() = default;
  ~relay_process();
  relay_process(const relay_process &) = delete;
  relay_process &operator=(const relay_process &) = delete;

  // Starts the executable with `args` in `directory` (empty: the current one).
  bool start(const std::vector<std::string> &args, const std::string &directory = "");
  // Writes to the child's standard input; closing it ends the child's input.
  bool write_input(const std::string &text);
  void close_input();
  // Starts it listening on a free loopback-reachable port (`port` tells which)
  // and waits until it accepts connections. Extra arguments come first.
  bool start_listening(const std::vector<std::string> &extra = {}, const std::string &directory = "");

  // Waits until standard output holds `text` `count` times.
  bool wait_output(const std::string &text, int timeout_ms, int count = 1);
  std::string output();
  std::string errors();

  // Sends `signal` and waits for the exit; the exit code, or -1 after a
  // time-out (the process is then killed).
  int stop(int signal, int timeout_ms);
  // Waits for the exit without a signal; the exit code, or -1 after a time-out.
  int wait_exit(int timeout_ms);

  // The program to run: the relay unless a test runs another tool.
  std::string program = RELAYHUB_EXE;
  // A descriptor that the child gets as its standard output in place of the
  // captured pipe; -1 keeps the capture.
  int stdout_fd = -1;
  pid_t pid = -1;
  uint16_t port = 0;

private:
  void pump(int fd, std::string *into);
  int reap(int timeout_ms);

  std::mutex lock;
  std::condition_variable changed;
  std::string out;
  std::string err;
  std::thread out_reader;
  std::thread err_reader;
  int exit_code = -1;
  int input = -1;
};

// A loopback port that was free a moment ago.
uint16_t free_port();

// Counts the occurrences of `needle` in `text`.
int count_of(const std::string &text, const std::string &needle);
