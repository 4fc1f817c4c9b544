// Groups of loopback clients on a running relay.
#pragma once

#include <string>
#include <vector>

#include "support/tcp_client.h"

// A raw client that sends nothing is set up after two 500 ms detection
// time-outs; waiting this long lets every such client become active.
inline constexpr int RAW_DETECTION_WAIT_MS = 1300;

// Connects `count` raw clients to `port` and waits until the relay has set
// them all up. False when a connect fails.
bool connect_raw_clients(uint16_t port, int count, std::vector<tcp_client> &clients);

// Byte `i` of a stream whose every 8 bytes are "%07u\n", the counter of that
// record: any slice of it shows where it came from.
char record_stream_byte(uint64_t i);
