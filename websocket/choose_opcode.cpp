#include "websocket/g_ws.h"
#include "websocket/utf8.h"

// A payload from a raw or TLS client is one message by itself; RFC 6455 lets
// a client fail the connection on a text frame that is not valid UTF-8, so
// only a payload that is whole, valid UTF-8 goes out as text.
int32_t choose_opcode(const uint8_t *payload, uint64_t n) {
  utf8_state_t state;
  return utf8_scan(state, payload, n) >= 0 && state.need == 0 ? WS_TEXT : WS_BINARY;
}
