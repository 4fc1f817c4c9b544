#include "shell/console.h"

#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <memory>

#include "platform/console.h"

namespace {

// Wide text goes out as bytes: the standard streams stay byte oriented, so
// wide and narrow output can be mixed on them.
int write_wide(FILE *stream, const wchar_t *format, va_list args) {
  wchar_t small[1024];
  std::unique_ptr<wchar_t[]> large;
  wchar_t *text = small;
  size_t capacity = sizeof(small) / sizeof(small[0]);
  int length;
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    length = vswprintf(text, capacity, format, copy);
    va_end(copy);
    if (length >= 0 || capacity >= (1u << 20))
      break;
    capacity *= 4;
    large.reset(new wchar_t[capacity]);
    text = large.get();
  }
  if (length < 0)
    return length;

  std::unique_ptr<char[]> bytes(new char[static_cast<size_t>(length) * MB_LEN_MAX + 1]);
  size_t used = 0;
  mbstate_t state{};
  for (int i = 0; i < length; ++i) {
    size_t n = wcrtomb(bytes.get() + used, text[i], &state);
    if (n == static_cast<size_t>(-1)) {
      bytes[used] = '?';
      n = 1;
      state = mbstate_t{};
    }
    used += n;
  }
  fwrite(bytes.get(), 1, used, stream);
  fflush(stream);
  return length;
}

uint32_t report_error(FILE *stream, uint32_t code, const wchar_t *context) {
  wchar_t *text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  if (context != nullptr)
    wfprint(stream, L"%ls\n", context);
  if (text != nullptr)
    wfprint(stream, L"   ^ERROR: %u, %ls", code, text);
  else
    wfprint(stream, L"   ^ERROR: %u, (null)", code);
  if (text != nullptr)
    LocalFree(text);
  return code;
}

} // namespace

int wprint(const wchar_t *format, ...) {
  va_list args;
  va_start(args, format);
  int result = write_wide(stdout, format, args);
  va_end(args);
  return result;
}

int wfprint(FILE *stream, const wchar_t *format, ...) {
  va_list args;
  va_start(args, format);
  int result = write_wide(stream, format, args);
  va_end(args);
  return result;
}

int aprint(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = vfprintf(stdout, format, args);
  va_end(args);
  fflush(stdout);
  return result;
}

int asprint(char *buffer, size_t size, const char *format, ...) {
  if (buffer == nullptr || size == 0)
    return -1;
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, size, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= size) {
    buffer[0] = '\0';
    return -1;
  }
  return length;
}

uint32_t print_error(uint32_t code, const wchar_t *context) {
  return report_error(stdout, code, context);
}

uint32_t print_error_stderr(uint32_t code, const wchar_t *context) {
  return report_error(stderr, code, context);
}
