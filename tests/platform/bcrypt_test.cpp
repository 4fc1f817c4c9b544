#include "platform/bcrypt.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string hex(const std::vector<UCHAR> &bytes) {
  std::string text;
  char digit[3];
  for (UCHAR byte : bytes) {
    snprintf(digit, sizeof(digit), "%02x", byte);
    text += digit;
  }
  return text;
}

ULONG property(BCRYPT_HANDLE object, LPCWSTR name) {
  ULONG value = 0;
  ULONG size = 0;
  EXPECT_EQ(BCryptGetProperty(object, name, reinterpret_cast<PUCHAR>(&value), sizeof(value), &size, 0), STATUS_SUCCESS);
  EXPECT_EQ(size, sizeof(ULONG));
  return value;
}

// Opens, hashes `input` in the caller's hash object and finishes `rounds`
// times (a reusable hash starts afresh after each finish).
std::vector<std::string> digest(const wchar_t *algorithm_id, const std::string &input, ULONG flags, int rounds) {
  std::vector<std::string> digests;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, algorithm_id, nullptr, flags), STATUS_SUCCESS);
  if (algorithm == nullptr)
    return digests;
  const ULONG object_length = property(algorithm, BCRYPT_OBJECT_LENGTH);
  const ULONG hash_length = property(algorithm, BCRYPT_HASH_LENGTH);
  // Off by one byte, as a caller's layout may place it.
  std::vector<UCHAR> object(object_length + 1);
  BCRYPT_HASH_HANDLE hash = nullptr;
  EXPECT_EQ(BCryptCreateHash(algorithm, &hash, object.data() + 1, object_length, nullptr, 0, flags), STATUS_SUCCESS);
  for (int round = 0; round < rounds && hash != nullptr; ++round) {
    std::vector<UCHAR> output(hash_length);
    EXPECT_EQ(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char *>(input.data())),
                             static_cast<ULONG>(input.size()), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(BCryptFinishHash(hash, output.data(), hash_length, 0), STATUS_SUCCESS);
    digests.push_back(hex(output));
  }
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), STATUS_SUCCESS);
  return digests;
}

TEST(PlatformBcryptTest, KnownDigestsOfAbc) {
  struct row {
    const wchar_t *algorithm;
    const char *digest;
  };
  const row rows[] = {
      {L"MD5", "900150983cd24fb0d6963f7d28e17f72"},
      {L"SHA1", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {L"SHA256", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {L"SHA512", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                  "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
  };
  for (const row &r : rows) {
    const auto digests = digest(r.algorithm, "abc", 0, 1);
    ASSERT_EQ(digests.size(), 1u);
    EXPECT_EQ(digests[0], r.digest) << testing::PrintToString(std::wstring(r.algorithm));
  }
}

TEST(PlatformBcryptTest, ReusableHashStartsAfreshAfterEachFinish) {
  const auto by_provider = digest(L"SHA1", "abc", BCRYPT_HASH_REUSABLE_FLAG, 2);
  ASSERT_EQ(by_provider.size(), 2u);
  EXPECT_EQ(by_provider[0], "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(by_provider[1], by_provider[0]);
}

TEST(PlatformBcryptTest, FinishedHashThatIsNotReusableTakesNoMoreData) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&algorithm, L"MD5", nullptr, 0), STATUS_SUCCESS);
  BCRYPT_HASH_HANDLE hash = nullptr;
  ASSERT_EQ(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0), STATUS_SUCCESS);
  UCHAR output[16];
  EXPECT_EQ(BCryptFinishHash(hash, output, sizeof(output), 0), STATUS_SUCCESS);
  UCHAR byte = 0;
  EXPECT_EQ(BCryptHashData(hash, &byte, 1, 0), STATUS_INVALID_HANDLE);
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), STATUS_SUCCESS);
}

TEST(PlatformBcryptTest, SizesAndNamesAreChecked) {
  BCRYPT_ALG_HANDLE unknown = nullptr;
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&unknown, L"SHA3", nullptr, 0), STATUS_NOT_FOUND);
  EXPECT_EQ(unknown, nullptr);
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&unknown, L"SHA1", nullptr, 0x1), STATUS_INVALID_PARAMETER);

  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&algorithm, L"SHA1", nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(property(algorithm, BCRYPT_HASH_LENGTH), 20u);
  ULONG value = 0;
  ULONG size = 0;
  EXPECT_EQ(BCryptGetProperty(algorithm, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&value), 2, &size, 0),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(BCryptGetProperty(algorithm, L"BlockLength", reinterpret_cast<PUCHAR>(&value), 4, &size, 0),
            STATUS_NOT_SUPPORTED);

  const ULONG object_length = property(algorithm, BCRYPT_OBJECT_LENGTH);
  std::vector<UCHAR> object(object_length);
  BCRYPT_HASH_HANDLE hash = nullptr;
  EXPECT_EQ(BCryptCreateHash(algorithm, &hash, object.data(), object_length - 1, nullptr, 0, 0),
            STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(BCryptCreateHash(algorithm, &hash, object.data(), object_length, nullptr, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(property(hash, BCRYPT_HASH_LENGTH), 20u);
  UCHAR output[32];
  EXPECT_EQ(BCryptFinishHash(hash, output, 16, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptFinishHash(hash, output, 32, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptFinishHash(hash, output, 20, 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), STATUS_SUCCESS);
}

TEST(PlatformBcryptTest, LegacyDigestsOpenExactlyWhereLibcryptoHasThem) {
  struct row {
    const wchar_t *cng;
    const char *openssl;
  };
  for (const row &r : {row{L"MD2", "MD2"}, row{L"MD4", "MD4"}}) {
    EVP_MD *md = EVP_MD_fetch(nullptr, r.openssl, nullptr);
    ERR_clear_error();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, r.cng, nullptr, 0);
    if (md == nullptr) {
      EXPECT_EQ(status, STATUS_NOT_FOUND) << r.openssl;
      EXPECT_EQ(algorithm, nullptr);
      continue;
    }
    EVP_MD_free(md);
    ASSERT_EQ(status, STATUS_SUCCESS) << r.openssl;
    EXPECT_EQ(property(algorithm, BCRYPT_HASH_LENGTH), 16u);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(algorithm, 0), STATUS_SUCCESS);
  }
}

} // namespace
