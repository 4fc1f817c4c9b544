// The process entry: the relay is a Windows console program with wide
// arguments, so main hands them to wmain as wide strings.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "exit_status.h"

int wmain(int argc, wchar_t **argv);

namespace {

// Arguments are taken as UTF-8 whatever the locale (the program starts in
// the "C" locale); a byte that is not part of a valid sequence becomes
// U+FFFD.
std::wstring widen(const char *text) {
  std::wstring wide;
  const auto *bytes = reinterpret_cast<const unsigned char *>(text);
  while (*bytes != 0) {
    const unsigned char lead = *bytes;
    int extra = 0;
    char32_t code = lead;
    char32_t minimum = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code = lead & 0x07;
      minimum = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code = lead & 0x0F;
      minimum = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code = lead & 0x1F;
      minimum = 0x80;
    } else if (lead >= 0x80) {
      wide.push_back(L'\uFFFD');
      ++bytes;
      continue;
    }
    int taken = 1;
    for (; taken <= extra && (bytes[taken] & 0xC0) == 0x80; ++taken)
      code = (code << 6) | (bytes[taken] & 0x3F);
    if (taken <= extra || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      wide.push_back(L'\uFFFD');
      ++bytes;
      continue;
    }
    wide.push_back(static_cast<wchar_t>(code));
    bytes += taken;
  }
  return wide;
}

// A standard descriptor closed at start would be handed to the next socket,
// and console text would reach a client; /dev/null takes its place.
bool open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    if (open("/dev/null", O_RDWR) != fd)
      return false;
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (!open_standard_descriptors())
    return 1;
  // A console whose reader has gone must not end the relay: writes to it
  // fail with EPIPE, and console output is never checked.
  signal(SIGPIPE, SIG_IGN);
  // Threads allocate only as connections start and end (TLS sessions, hash
  // contexts): one heap arena serves them all, where an arena per thread
  // would keep the resident size growing with each one's own high-water mark.
  mallopt(M_ARENA_MAX, 1);

  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i)
    arguments.push_back(widen(argv[i]));
  std::vector<wchar_t *> wide_argv;
  for (std::wstring &argument : arguments)
    wide_argv.push_back(argument.data());
  wide_argv.push_back(nullptr);
  return exit_status(static_cast<uint32_t>(wmain(argc, wide_argv.data())));
}
