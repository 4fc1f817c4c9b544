// The command line, with arguments chosen by the fuzzer, run as the entry runs
// it: the version request, the configuration, and the usage when the relay
// may not run. Bytes 0 separate arguments, byte 1 followed by four bytes is
// one wide character, and every other byte is the character of that code.
// Like the entry, which widens UTF-8 arguments, it passes only Unicode code
// points, with U+FFFD for surrogates. The working directory is an empty
// temporary one, so no certificate loads; the output goes to /dev/null.
#include "shell/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tls/server_ctx.h"

namespace {

constexpr uint8_t ARGUMENT_END = 0;
constexpr uint8_t WIDE_ESCAPE = 1;
constexpr size_t MAX_ARGUMENTS = 64;
constexpr uint32_t UNICODE_END = 0x110000;
constexpr uint32_t REPLACEMENT = 0xFFFD;

char directory[] = "/tmp/relayhub-fuzz-XXXXXX";

void remove_directory() {
  rmdir(directory);
}

std::vector<std::wstring> arguments(const uint8_t *data, size_t size) {
  std::vector<std::wstring> args{L"relayhub"};
  if (size != 0)
    args.emplace_back();
  for (size_t i = 0; i < size && args.size() <= MAX_ARGUMENTS; ++i) {
    if (data[i] == ARGUMENT_END) {
      args.emplace_back();
    } else if (data[i] == WIDE_ESCAPE && size - i > 4) {
      uint32_t code;
      std::memcpy(&code, data + i + 1, 4);
      i += 4;
      code %= UNICODE_END;
      if (code >= 0xD800 && code <= 0xDFFF)
        code = REPLACEMENT;
      if (code != 0)
        args.back() += static_cast<wchar_t>(code);
    } else {
      args.back() += static_cast<wchar_t>(data[i]);
    }
  }
  return args;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (mkdtemp(directory) == nullptr || chdir(directory) != 0)
    abort();
  atexit(remove_directory);
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
    abort();
  close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::wstring> args = arguments(data, size);
  std::vector<wchar_t *> argv;
  for (std::wstring &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  if (version_requested(argc, argv.data())) {
    print_version();
    return 0;
  }
  G_CONFIG config;
  const int result = config.config(argc, argv.data());
  tls_context_release();
  if (result != 0 && result != -1)
    abort();
  if (result != 0) {
    print_usage(argv[0]);
    return 0;
  }
  if (config.port_local == 0 || config.connections < 1 || config.connections > SLOT_COUNT)
    abort();
  if (config.packet_length_r == 1)
    abort();
  return 0;
}
