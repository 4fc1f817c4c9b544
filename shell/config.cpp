#include "shell/config.h"

#include <cstring>

#include "platform/console.h"
#include "shell/console.h"
#include "tls/server_ctx.h"

namespace {

void set_defaults(G_CONFIG &c) {
  c.quiet = 0;
  c.listen = 1;
  c.print_once = 0;
  c.print = 1;
  c.verbose = 1;
  c.write = 1;
  memset(c.ip_local, 0, sizeof(c.ip_local));
  memset(c.ip_remote, 0, sizeof(c.ip_remote));
  c.port_local = 81;
  c.port_remote = 0;
  c.connections = 32;
  c.packet_length_r = 4096;
  c.so_type = 1;
  c.so_protocol = 6;
}

// The reader keeps one byte of its buffer for the zero behind a payload, so
// a shorter packet could never relay a byte.
constexpr uint64_t MIN_PACKET_LENGTH = 2;

void apply_value(G_CONFIG &c, wchar_t option, const wchar_t *value) {
  const int number = _wtoi(value);
  switch (option) {
  case L'p':
    // Refused like port 0 rather than cut to 16 bits into another port.
    c.port_local = number >= 1 && number <= 65535 ? static_cast<uint16_t>(number) : 0;
    break;
  case L'c':
    c.connections = static_cast<uint16_t>(number);
    break;
  case L'L': {
    const uint64_t length = static_cast<uint64_t>(static_cast<int64_t>(number));
    // 0 asks start-up for its largest length; 1 counts as a missing value.
    if (length == 0 || length >= MIN_PACKET_LENGTH)
      c.packet_length_r = length;
    break;
  }
  }
}

// Returns whether help was requested.
bool parse_arguments(G_CONFIG &c, int argc, wchar_t **argv) {
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    const wchar_t *arg = argv[i];
    if (arg[0] != L'-')
      continue;
    if (arg[1] == L'-' && _wcsicmp(arg + 2, L"help") == 0) {
      help = true;
      continue;
    }
    for (const wchar_t *p = arg + 1; *p != L'\0'; ++p) {
      if (*p == L'h') {
        help = true;
        continue;
      }
      if (*p != L'p' && *p != L'c' && *p != L'L')
        continue;
      if (p[1] != L'\0') {
        apply_value(c, *p, p + 1);
      } else if (i + 1 < argc) {
        ++i;
        apply_value(c, *p, argv[i]);
      }
      break;
    }
  }
  return help;
}

} // namespace

int G_CONFIG::config(int argc, wchar_t **argv) {
  set_defaults(*this);
  const bool help = parse_arguments(*this, argc, argv);

  tls_context_setup();

  if (connections == 0)
    connections = listen ? SLOT_COUNT : 1;
  if (connections > SLOT_COUNT) {
    connections = SLOT_COUNT;
    wprint(L"!! G_SOCKET::config()  number of connections reduced to: %u\n\n", SLOT_COUNT);
  }
  if (print_once)
    print = 1;
  if (verbose)
    print_config();

  if (!help && ((listen && port_local != 0) || (ip_remote[0] != '\0' && port_remote != 0)))
    return 0;
  return -1;
}

void G_CONFIG::print_config() const {
  wprint(L":: config ::\n");
  wprint(L"  print:%u, print_once:%u, listen:%u, write:%u, connections:%u\n", print, print_once, listen, write,
         connections);
  wprint(L"  verbose:%u, quiet:%u, packet_length_r:%llu\n", verbose, quiet,
         static_cast<unsigned long long>(packet_length_r));
  wprint(L"  so_type:%u, so_protocol:%u\n", so_type, so_protocol);
  wprint(L"  addr_local  %hs:%u\n", ip_local, port_local);
  wprint(L"  addr_remote %hs:%u\n\n", ip_remote, port_remote);
  wprint(L":: ------ ::\n");
}

void print_usage(const wchar_t *program) {
  static const wchar_t *const rule =
      L"-------------------------------------------------------------------------------\n";
  wprint(L":: WebSocket relay utility  relayhub, a broadcast hub for TCP, TLS and WebSocket clients\n");
  wprint(rule);
  wprint(L":: Relay data between WebSocket, TCP and TLS clients.\n");
  wprint(rule);
  wprint(L":: usage ::\n");
  wprint(L"\t%ls <-p listen port>\n", program);
  wprint(L"\t[-p listen port]\n");
  wprint(L"\t[-c 1 to %u connections]\n", SLOT_COUNT);
  wprint(L"\t[-L 1472|1405|1422|65112|65507       packet length]\n");
  wprint(L"\n");
  wprint(L":: example ::\n");
  wprint(L"\t%ls\n", program);
  wprint(L"\t%ls -p 81\n", program);
  wprint(L"\n");
  wprint(L"\n");
}

bool version_requested(int argc, wchar_t **argv) {
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"--version") == 0)
      return true;
  }
  return false;
}

void print_version() {
  wprint(L"relayhub %hs\n", RELAYHUB_VERSION);
}
