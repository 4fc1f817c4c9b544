// The C runtime's wide helpers that glibc lacks, with MSVC's behaviour.
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>

#include "platform/console.h"

namespace winapi {
namespace {

// Locale names are ASCII on both systems.
std::string narrow_ascii(const wchar_t *text) {
  std::string result;
  for (; *text != L'\0'; ++text)
    result.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return result;
}

// The text that _wsetlocale returns; like MSVC's, it stays valid until the
// thread's next call.
wchar_t *remember(const char *name) {
  thread_local std::wstring last;
  last.assign(name, name + strlen(name));
  return last.data();
}

} // namespace

// `category` is the C library's LC_* value, which is what callers compiled
// against <clocale> pass. A Windows locale name such as "bg-BG" is tried as
// glibc's "bg_BG.UTF-8", "bg_BG.utf8" and "bg_BG"; a name with a code set
// ("bg-BG.UTF-8") only as itself, with '_' for '-'. When no such locale
// exists the result is null and the locale is unchanged.
wchar_t *_wsetlocale(int category, const wchar_t *locale) {
  if (locale == nullptr) {
    const char *current = setlocale(category, nullptr);
    return current != nullptr ? remember(current) : nullptr;
  }
  std::string name = narrow_ascii(locale);
  const size_t code_set = name.find('.');
  for (size_t i = 0; i < name.size() && i < code_set; ++i)
    if (name[i] == '-')
      name[i] = '_';
  if (name.empty() || name == "C" || name == "POSIX" || name.find('.') != std::string::npos) {
    const char *set = setlocale(category, name.c_str());
    return set != nullptr ? remember(set) : nullptr;
  }
  for (const char *suffix : {".UTF-8", ".utf8", ""}) {
    if (const char *set = setlocale(category, (name + suffix).c_str()))
      return remember(set);
  }
  return nullptr;
}

// MSVC: leading white space, an optional sign, then decimal digits up to the
// first other character; no digits give 0, and a value outside int gives
// the nearest limit with errno ERANGE.
int _wtoi(const wchar_t *text) {
  if (text == nullptr) {
    errno = EINVAL;
    return 0;
  }
  while (iswspace(static_cast<wint_t>(*text)))
    ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') {
    negative = *text == L'-';
    ++text;
  }
  const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
  int64_t value = 0;
  bool overflow = false;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    if (!overflow) {
      value = value * 10 + (*text - L'0');
      overflow = value > limit;
    }
  }
  if (overflow) {
    errno = ERANGE;
    return negative ? INT_MIN : INT_MAX;
  }
  return static_cast<int>(negative ? -value : value);
}

// ASCII letters compare without case, as in MSVC's "C" locale; every other
// character compares by its code.
int _wcsicmp(const wchar_t *a, const wchar_t *b) {
  auto lower = [](wchar_t c) -> int { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
  for (;; ++a, ++b) {
    const int difference = lower(*a) - lower(*b);
    if (difference != 0 || *a == L'\0')
      return difference;
  }
}

} // namespace winapi
