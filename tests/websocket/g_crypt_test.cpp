#include "websocket/g_crypt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t *bytes, uint64_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint64_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xF];
  }
  return text;
}

void expect_reset_state(const G_CRYPT &crypt) {
  EXPECT_EQ(crypt.all_length, 0u);
  EXPECT_EQ(crypt.ctx_length, 0u);
  EXPECT_EQ(crypt.txt_length_all, 0u);
  EXPECT_EQ(crypt.obj_length, 0u);
  EXPECT_EQ(crypt.ctx, nullptr);
  EXPECT_EQ(crypt.h_prov, nullptr);
  EXPECT_EQ(crypt.flags, 0u);
  EXPECT_EQ(crypt.ready, 0);
  EXPECT_EQ(crypt.alg_id, 0x8004u);
  EXPECT_EQ(crypt.txt_hashes, nullptr);
  EXPECT_EQ(crypt.txt_length, 0u);
  EXPECT_EQ(crypt.ctx_count, 0u);
}

struct digest_case {
  uint32_t alg_id;
  uint32_t txt_length;
  std::vector<std::string> pieces;
  const char *digest;
};

class digest_test : public testing::TestWithParam<digest_case> {};

TEST_P(digest_test, known_vectors_fed_in_pieces) {
  const digest_case &c = GetParam();
  G_CRYPT crypt;
  ASSERT_EQ(crypt.init(c.alg_id), 0u);
  EXPECT_EQ(crypt.ready, 1);
  EXPECT_EQ(crypt.alg_id, c.alg_id);
  EXPECT_EQ(crypt.ctx_count, 1u);
  EXPECT_EQ(crypt.txt_length, c.txt_length);
  EXPECT_EQ(crypt.all_length, 16u + crypt.obj_length + crypt.txt_length);
  // The digest pointers, then the handles, then the objects, then the digests.
  uint8_t *base = reinterpret_cast<uint8_t *>(crypt.txt_hashes);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(crypt.ctx), base + 8);
  EXPECT_EQ(crypt.txt_hashes[0], base + 16 + crypt.obj_length);

  for (const std::string &piece : c.pieces) {
    ASSERT_EQ(crypt.hash(0, reinterpret_cast<const uint8_t *>(piece.data()), piece.size()), 0u);
  }
  ASSERT_EQ(crypt.finish(), 0u);
  EXPECT_EQ(hex(crypt.txt_hashes[0], crypt.txt_length), c.digest);
  crypt.reset();
  expect_reset_state(crypt);
}

INSTANTIATE_TEST_SUITE_P(
    g_crypt, digest_test,
    testing::Values(digest_case{G_CRYPT_SHA1, 20, {"a", "bc"}, "a9993e364706816aba3e25717850c26c9cd0d89d"},
                    digest_case{G_CRYPT_SHA1, 20, {}, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
                    digest_case{G_CRYPT_MD5, 16, {"ab", "c"}, "900150983cd24fb0d6963f7d28e17f72"},
                    digest_case{G_CRYPT_MD5, 16, {""}, "d41d8cd98f00b204e9800998ecf8427e"},
                    digest_case{4, 32, {"abc"}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}),
    [](const testing::TestParamInfo<digest_case> &p) {
      const char *alg = p.param.alg_id == G_CRYPT_SHA1  ? "sha1"
                        : p.param.alg_id == G_CRYPT_MD5 ? "md5"
                                                        : "other_algorithm";
      return alg + std::string("_") + std::to_string(p.index);
    });

TEST(g_crypt, reset_state_at_construction_and_after_reset) {
  G_CRYPT crypt;
  expect_reset_state(crypt);
  crypt.reset();
  expect_reset_state(crypt);
  ASSERT_EQ(crypt.init(G_CRYPT_SHA1), 0u);
  crypt.reset();
  expect_reset_state(crypt);
  crypt.reset();
  expect_reset_state(crypt);
}

TEST(g_crypt, init_starts_from_a_reset) {
  G_CRYPT crypt;
  ASSERT_EQ(crypt.init(G_CRYPT_SHA1), 0u);
  const uint8_t data[] = {'x'};
  ASSERT_EQ(crypt.hash(0, data, 1), 0u);
  ASSERT_EQ(crypt.init(G_CRYPT_MD5), 0u);
  ASSERT_EQ(crypt.finish(), 0u);
  EXPECT_EQ(hex(crypt.txt_hashes[0], crypt.txt_length), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(g_crypt, hash_without_ready_fails_silently) {
  const uint8_t data[] = {'a', 'b', 'c'};
  G_CRYPT crypt;
  testing::internal::CaptureStdout();
  const uint32_t before_init = crypt.hash(0, data, sizeof(data));
  ASSERT_EQ(crypt.init(G_CRYPT_SHA1), 0u);
  crypt.reset();
  const uint32_t after_reset = crypt.hash(0, data, sizeof(data));
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(before_init, static_cast<uint32_t>(STATUS_INVALID_HANDLE));
  EXPECT_EQ(after_reset, static_cast<uint32_t>(STATUS_INVALID_HANDLE));
  EXPECT_EQ(output, "");
}

TEST(g_crypt, index_outside_the_table_is_refused_without_a_report) {
  G_CRYPT crypt;
  testing::internal::CaptureStdout();
  const uint32_t status = crypt.init(7);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, static_cast<uint32_t>(STATUS_INVALID_PARAMETER));
  EXPECT_EQ(output, "");
  expect_reset_state(crypt);
}

TEST(g_crypt, unavailable_provider_is_reported_with_its_context) {
  BCRYPT_ALG_HANDLE probe = nullptr;
  if (BCryptOpenAlgorithmProvider(&probe, L"MD2", nullptr, 0) == STATUS_SUCCESS) {
    BCryptCloseAlgorithmProvider(probe, 0);
    GTEST_SKIP() << "this provider set offers MD2";
  }
  G_CRYPT crypt;
  testing::internal::CaptureStdout();
  const uint32_t status = crypt.init(0);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(status, 0u);
  EXPECT_EQ(crypt.ready, 0);
  EXPECT_EQ(crypt.h_prov, nullptr);
  EXPECT_EQ(crypt.txt_hashes, nullptr);
  const std::string report = "BCryptOpenAlgorithmProvider(&h_prov, G_CRYPT_ALG_ID[alg_id], NULL, flags)\n"
                             "   ^ERROR: " +
                             std::to_string(status) + ", ";
  EXPECT_EQ(output.compare(0, report.size(), report), 0) << output;
  // Only the second attempt is reported.
  EXPECT_EQ(output.find("BCryptOpenAlgorithmProvider", 1), std::string::npos) << output;
}

} // namespace
