// RFC 6455 framing as the benchmark's clients need it: masked binary frames
// out, the server's unmasked frames in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record.h"

// The longest client frame header: 2 bytes, a 64-bit length, the mask key.
inline constexpr size_t WS_MAX_CLIENT_HEADER = 14;

// Bytes a client frame of `payload_size` bytes takes, header included.
size_t ws_frame_size(size_t payload_size);
// Writes the header of a final binary frame of `payload_size` bytes, with
// `mask` as its key, and returns its length; the payload follows it.
size_t ws_frame_header(uint8_t *out, size_t payload_size, uint32_t mask);
// Masks (or unmasks) `n` payload bytes in place, RFC 6455 section 5.3.
void ws_mask(uint8_t *payload, size_t n, uint32_t mask);

// Parses the frames a server sends, from bytes in any pieces, and passes the
// payloads of data frames on to a record stream. Control frames other than a
// close carry nothing for it and are skipped.
class ws_frame_reader {
public:
  // False on a close frame, a masked frame, reserved bits or opcodes, or a
  // bad record; `fault` (or the stream's) then names it.
  bool feed(const uint8_t *p, size_t n, uint64_t now_ns, record_stream &records, window_tally &tally);

  const char *fault = nullptr;

private:
  bool start_payload();

  uint8_t header[WS_MAX_CLIENT_HEADER] = {};
  size_t header_size = 0;
  uint64_t payload_left = 0;
  bool data = false;
};
