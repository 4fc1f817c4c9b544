// Console output of the relay. Every call writes its whole text under the
// stream's lock and flushes it, so pipes see each line as it is printed.
// Wide formats: %ls takes a wide string, %hs a narrow one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Formatted wide text to standard output.
int wprint(const wchar_t *format, ...);
// Formatted wide text to `stream`.
int wfprint(FILE *stream, const wchar_t *format, ...);
// Formatted narrow text to standard output.
int aprint(const char *format, ...);
// Formats narrow text into `buffer` of `size` bytes. Returns the length, or
// -1 (leaving an empty string when the buffer is usable) when the buffer is
// null or empty, formatting fails, or the text with its terminator does not fit.
int asprint(char *buffer, size_t size, const char *format, ...);

// The system error report: "%ls\n" with `context` (when not null), then
// "   ^ERROR: %u, %ls" with `code` and the system's text for it. Returns `code`.
uint32_t print_error(uint32_t code, const wchar_t *context);
// The same report on standard error.
uint32_t print_error_stderr(uint32_t code, const wchar_t *context);
