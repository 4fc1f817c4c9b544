// The relay object: configuration, buffer pool, the 32 slots and the
// listening endpoint. One per process, owned by the entry.
#pragma once

#include <cstdint>

#include "memory/g_ram.h"
#include "platform/winsock.h"
#include "relay/g_task.h"
#include "shell/config.h"

class G_SOCKET : public G_CONFIG {
public:
  G_RAM ram;
  g_task_t tasks[SLOT_COUNT];
  uint8_t configured{};
  sockaddr_in addr_local{};
  sockaddr_in addr_remote{};

  // Start-up: constructs the slots, runs the configuration and, when it is
  // valid, builds the pool, every used slot's buffers, gates and threads, and
  // the watcher. The outcome is `configured`; fatal failures end the process.
  G_SOCKET(int argc, wchar_t **argv);
  ~G_SOCKET() = default;
  G_SOCKET(const G_SOCKET &) = delete;
  G_SOCKET &operator=(const G_SOCKET &) = delete;

  // Fills both address records from the configuration.
  void set_addresses();
  // Binds, listens, opens every used slot's gate and waits for every reader's
  // end. 0, or the system error code when the socket cannot be created, bound
  // or put into listening.
  int listening_run();
  // Options of the listening socket. Returns the OR of the option results.
  int listen_socket_options(SOCKET so);
  // Ends the relay from outside: closes the listening socket and ends every
  // connection, so that every thread leaves through its ordinary exit.
  void request_stop();
  // Clean-up of the entry: releases the TLS context and the pool when
  // configured (the slots are destroyed with the object).
  void release();

private:
  void start_slot(uint32_t i, uint64_t unit);
};
