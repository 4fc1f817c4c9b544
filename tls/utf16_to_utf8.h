// The conversion of UTF-16 certificate paths into the UTF-8 form OpenSSL
// opens.
#pragma once

#include <cstdint>

// UTF-16 to UTF-8 into a 65536-byte buffer. Returns the bytes written before
// the terminator, or 0 on failure (also for an empty source).
uint64_t utf16_to_utf8(char *destination, const char16_t *source);
