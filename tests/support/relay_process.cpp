#include "support/relay_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(addr);
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

int count_of(const std::string &text, const std::string &needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

bool relay_process::write_input(const std::string &text) {
  return input >= 0 && ::write(input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void relay_process::close_input() {
  if (input >= 0)
    ::close(input);
  input = -1;
}

relay_process::~relay_process() {
  close_input();
  if (pid > 0)
    stop(SIGKILL, 5000);
  if (out_reader.joinable())
    out_reader.join();
  if (err_reader.joinable())
    err_reader.join();
}

bool relay_process::start(const std::vector<std::string> &args, const std::string &directory) {
  // A child that has gone must not end the test with SIGPIPE on its input.
  signal(SIGPIPE, SIG_IGN);
  close_input();
  int out_pipe[2];
  int err_pipe[2];
  int in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0)
    return false;
  pid = fork();
  if (pid == 0) {
    dup2(stdout_fd >= 0 ? stdout_fd : out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    dup2(in_pipe[0], 0);
    // Only the test ignores SIGPIPE: the relay starts with the default that a
    // shell gives it, so a broken console shows in the tests.
    signal(SIGPIPE, SIG_DFL);
    if (!directory.empty() && chdir(directory.c_str()) != 0)
      _exit(127);
    std::vector<char *> argv;
    std::string exe = program;
    argv.push_back(exe.data());
    std::vector<std::string> copies = args;
    for (auto &a : copies)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(in_pipe[0]);
  input = in_pipe[1];
  if (pid < 0)
    return false;
  out_reader = std::thread(&relay_process::pump, this, out_pipe[0], &out);
  err_reader = std::thread(&relay_process::pump, this, err_pipe[0], &err);
  return true;
}

bool relay_process::start_listening(const std::vector<std::string> &extra, const std::string &directory) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = free_port();
    std::vector<std::string> args = extra;
    args.push_back("-p");
    args.push_back(std::to_string(port));
    if (!start(args, directory))
      return false;
    if (wait_output(":: waiting for client connection...", 10000))
      return true;
    stop(SIGKILL, 5000);
    if (out_reader.joinable())
      out_reader.join();
    if (err_reader.joinable())
      err_reader.join();
    out.clear();
    err.clear();
  }
  return false;
}

void relay_process::pump(int fd, std::string *into) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    std::lock_guard<std::mutex> guard(lock);
    into->append(buffer, static_cast<size_t>(n));
    changed.notify_all();
  }
  ::close(fd);
}

bool relay_process::wait_output(const std::string &text, int timeout_ms, int count) {
  std::unique_lock<std::mutex> guard(lock);
  return changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return count_of(out, text) >= count; });
}

std::string relay_process::output() {
  std::lock_guard<std::mutex> guard(lock);
  return out;
}

std::string relay_process::errors() {
  std::lock_guard<std::mutex> guard(lock);
  return err;
}

int relay_process::reap(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      pid = -1;
      exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_code;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int relay_process::wait_exit(int timeout_ms) {
  if (pid <= 0)
    return exit_code;
  int code = reap(timeout_ms);
  if (code >= 0) {
    if (out_reader.joinable())
      out_reader.join();
    if (err_reader.joinable())
      err_reader.join();
  }
  return code;
}

int relay_process::stop(int signal, int timeout_ms) {
  if (pid <= 0)
    return exit_code;
  kill(pid, signal);
  int code = wait_exit(timeout_ms);
  if (code < 0 && pid > 0) {
    kill(pid, SIGKILL);
    reap(5000);
    return -1;
  }
  return code;
}
