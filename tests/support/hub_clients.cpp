#include "support/hub_clients.h"

#include <chrono>
#include <cstdio>
#include <thread>

bool connect_raw_clients(uint16_t port, int count, std::vector<tcp_client> &clients) {
  for (int i = 0; i < count; ++i) {
    tcp_client c;
    if (!c.connect(port))
      return false;
    clients.push_back(std::move(c));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(RAW_DETECTION_WAIT_MS));
  return true;
}

char record_stream_byte(uint64_t i) {
  char record[9];
  snprintf(record, sizeof(record), "%07u\n", static_cast<unsigned>((i / 8) % 10000000));
  return record[i % 8];
}
