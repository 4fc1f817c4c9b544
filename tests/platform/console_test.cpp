#include "platform/console.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

constexpr DWORD system_message =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

TEST(PlatformFormatMessageTest, SystemTextsEndInCrLf) {
  struct row {
    DWORD code;
    const wchar_t *text;
  };
  const row rows[] = {
      {0, L"The operation completed successfully.\r\n"},
      {6, L"The handle is invalid.\r\n"},
      {1300, L"Not all privileges or groups referenced are assigned to the caller.\r\n"},
      {1453, L"Insufficient quota to complete the requested service.\r\n"},
      {10004, L"A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
      {10054, L"An existing connection was forcibly closed by the remote host.\r\n"},
      {10061, L"No connection could be made because the target machine actively refused it.\r\n"},
      {10093, L"Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
  };
  EXPECT_EQ(system_message, 0x1300u);
  for (const row &r : rows) {
    wchar_t *text = nullptr;
    const DWORD length =
        FormatMessageW(system_message, nullptr, r.code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr) << r.code;
    EXPECT_STREQ(text, r.text);
    EXPECT_EQ(length, wcslen(r.text));
    EXPECT_EQ(LocalFree(text), nullptr);
  }
}

TEST(PlatformFormatMessageTest, EveryWinsockCodeOfTheRangeHasText) {
  for (DWORD code = 10035; code <= 10065; ++code) {
    wchar_t *text = nullptr;
    EXPECT_GT(FormatMessageW(system_message, nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr), 2u)
        << code;
    LocalFree(text);
  }
}

TEST(PlatformFormatMessageTest, UnknownCodeAllocatesNothing) {
  wchar_t *text = nullptr;
  SetLastError(0);
  EXPECT_EQ(FormatMessageW(system_message, nullptr, 0xC0000225, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr), 0u);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(PlatformFormatMessageTest, CallerBufferMustHoldTheText) {
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t small[8];
  EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 0, small, 8, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  wchar_t enough[64];
  EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 0, enough, 64, nullptr), 19u);
  EXPECT_STREQ(enough, L"Access is denied.\r\n");
}

TEST(PlatformRuntimeTest, WtoiBehavesLikeMsvc) {
  struct row {
    const wchar_t *text;
    int value;
    bool out_of_range;
  };
  const row rows[] = {
      {L"8080", 8080, false},
      {L"  \t\n42", 42, false},
      {L"+17", 17, false},
      {L"-1", -1, false},
      {L"12abc", 12, false},
      {L"1 2", 1, false},
      {L"", 0, false},
      {L"abc", 0, false},
      {L"-", 0, false},
      {L"+-5", 0, false},
      {L"0x10", 0, false},
      {L"2147483647", INT_MAX, false},
      {L"2147483648", INT_MAX, true},
      {L"99999999999", INT_MAX, true},
      {L"-2147483648", INT_MIN, false},
      {L"-2147483649", INT_MIN, true},
      {L"-99999999999999999999999", INT_MIN, true},
      {L"65537", 65537, false},
  };
  for (const row &r : rows) {
    errno = 0;
    EXPECT_EQ(_wtoi(r.text), r.value) << "\"" << testing::PrintToString(std::wstring(r.text)) << "\"";
    EXPECT_EQ(errno == ERANGE, r.out_of_range) << testing::PrintToString(std::wstring(r.text));
  }
}

TEST(PlatformRuntimeTest, WcsicmpIgnoresAsciiCase) {
  struct row {
    const wchar_t *a;
    const wchar_t *b;
    int sign;
  };
  const row rows[] = {
      {L"help", L"HELP", 0}, {L"HeLp", L"hElP", 0}, {L"help", L"helq", -1}, {L"helq", L"HELP", 1},
      {L"hel", L"help", -1}, {L"", L"", 0},         {L"a", L"", 1},         {L"[", L"a", -1},
  };
  for (const row &r : rows) {
    const int result = _wcsicmp(r.a, r.b);
    EXPECT_EQ((result > 0) - (result < 0), r.sign)
        << testing::PrintToString(std::wstring(r.a)) << " " << testing::PrintToString(std::wstring(r.b));
  }
}

TEST(PlatformRuntimeTest, MissingLocaleLeavesTheLocaleUnchanged) {
  const std::string before = setlocale(LC_ALL, nullptr);
  EXPECT_EQ(_wsetlocale(LC_ALL, L"xx-XX"), nullptr);
  EXPECT_EQ(before, setlocale(LC_ALL, nullptr));
  const wchar_t *current = _wsetlocale(LC_ALL, nullptr);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(std::wstring(current), std::wstring(before.begin(), before.end()));
  const wchar_t *c = _wsetlocale(LC_ALL, L"C");
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(c, L"C");
  setlocale(LC_ALL, before.c_str());
}

TEST(PlatformRuntimeTest, NamesWithACodeSetArePassedOn) {
  const std::string before = setlocale(LC_CTYPE, nullptr);
  const wchar_t *set = _wsetlocale(LC_CTYPE, L"C.UTF-8");
  ASSERT_NE(set, nullptr);
  EXPECT_STREQ(set, L"C.UTF-8");
  EXPECT_STREQ(setlocale(LC_CTYPE, nullptr), "C.UTF-8");
  setlocale(LC_CTYPE, before.c_str());
}

} // namespace
