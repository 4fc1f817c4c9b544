// The configuration record that heads the relay object, and the command line.
#pragma once

#include <cstdint>

// The relay's fixed number of connection slots.
inline constexpr uint32_t SLOT_COUNT = 32;

class G_CONFIG {
public:
  uint8_t quiet{};
  uint8_t listen{};
  uint8_t print_once{};
  uint8_t print{};
  uint8_t verbose{};
  uint8_t write{};
  char ip_local[64]{};
  char ip_remote[64]{};
  uint16_t port_local{};
  uint16_t port_remote{};
  uint16_t connections{};
  uint64_t packet_length_r{};
  int32_t so_type{};
  int32_t so_protocol{};

  // Sets the defaults, parses `argv[1..argc)`, sets up the server TLS context
  // and loads the certificate files, applies the connection limits and prints
  // the dump. 0 when the relay may run, -1 for help or an invalid setting.
  int config(int argc, wchar_t **argv);
  // The configuration dump.
  void print_config() const;
};

// The usage text, with the program path `program`.
void print_usage(const wchar_t *program);

// Whether an argument asks for the version ("--version", letter case ignored).
bool version_requested(int argc, wchar_t **argv);
// "relayhub X.Y.Z", the version the build was given.
void print_version();
