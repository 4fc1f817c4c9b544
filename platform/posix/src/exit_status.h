// Windows exit codes are 32 bits; a POSIX parent sees only the low 8.
#pragma once

#include <cstdint>

// The status to hand to exit(): the code itself, except that a failure whose
// low 8 bits are 0 would read as success, so it becomes 1.
inline int exit_status(uint32_t code) {
  return code != 0 && (code & 0xFF) == 0 ? 1 : static_cast<int>(code);
}
