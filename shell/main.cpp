// The entry: priority, the relay object, usage or the listening run, and the
// clean-up in a fixed order.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/process.h"
#include "platform/winsock.h"
#include "relay/g_socket.h"
#include "relay/hub.h"
#include "shell/config.h"
#include "shell/console.h"

namespace {

std::atomic<G_SOCKET *> running_relay{nullptr};
std::atomic<bool> stop_requested{false};

// Interrupting or closing the console stops the relay in order, so that the
// pool is still scrubbed and every thread ends.
BOOL on_console_event(DWORD) {
  stop_requested = true;
  if (G_SOCKET *relay = running_relay.load())
    relay->request_stop();
  return TRUE;
}

void pause_for_debugger() {
  wfprint(stderr, L"\r\n[finished] Press ENTER to exit . . .");
}

// Returns the exit code: 0, or the system error that kept the relay from
// listening.
int run(G_SOCKET &relay) {
  WSADATA wsa_data{};
  const WORD wsa_version_requested = 0x0202;
  const int code = WSAStartup(wsa_version_requested, &wsa_data);
  if (code != 0) {
    print_error(static_cast<uint32_t>(code), L"WSAStartup(wsa_version_requested, &wsa_data)");
    WSACleanup();
    return code;
  }
  if (wsa_data.wVersion != wsa_version_requested) {
    wprint(L"Version 2.2 of Winsock is required, but not available!\r\n");
    WSACleanup();
    return WSAVERNOTSUPPORTED;
  }
  relay.set_addresses();
  running_relay = &relay;
  if (stop_requested)
    relay.request_stop();
  return relay.listening_run();
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  // Answered before the configuration, which would print its dump first.
  if (version_requested(argc, argv)) {
    print_version();
    return 0;
  }
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  SetProcessPriorityBoost(GetCurrentProcess(), TRUE);
  SetConsoleCtrlHandler(on_console_event, TRUE);

  alignas(G_SOCKET) static unsigned char storage[sizeof(G_SOCKET)];
  memset(storage, 0, sizeof(storage));
  G_SOCKET *relay = new (storage) G_SOCKET(argc, argv);

  int exit_code = 0;
  if (!relay->configured) {
    print_usage(argv[0]);
    if (IsDebuggerPresent()) {
      pause_for_debugger();
      getwchar();
    }
  } else {
    exit_code = run(*relay);
    if (IsDebuggerPresent()) {
      pause_for_debugger();
      getchar();
      ExitProcess(static_cast<UINT>(exit_code));
    }
  }

  // No stop may run on another thread while the slots are destroyed.
  SetConsoleCtrlHandler(on_console_event, FALSE);
  running_relay = nullptr;
  relay->release();
  relay->~G_SOCKET();
  return exit_code;
}
