#include "memory/g_ram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

TEST(GRam, PoolIsAlignedUsableAndScrubbedOnRelease) {
  G_RAM ram;
  testing::internal::CaptureStderr();
  ASSERT_EQ(ram.init(2), 0);
  testing::internal::GetCapturedStderr();
  ASSERT_NE(ram.base, nullptr);
  EXPECT_EQ(ram.bytes, 2 * ram.page_size);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(ram.base) % ram.page_size, 0u);
  if (ram.awe == 0 && ram.locked == 0)
    GTEST_SKIP() << "the pool could not be locked; only a locked or physical pool is scrubbed";
  memset(ram.base, 0xA5, ram.bytes);
  // The scrub is release's first step, seen here while the pool still owns
  // the bytes.
  EXPECT_EQ(ram.scrub(), 0);
  const uint8_t *const first = ram.base;
  const uint8_t *const end = ram.base + ram.bytes;
  EXPECT_EQ(std::find_if(first, end, [](uint8_t b) { return b != 0; }), end) << "a byte survived the scrub";
  EXPECT_EQ(ram.release(), 0);
  EXPECT_EQ(ram.base, nullptr);
  EXPECT_EQ(ram.release(), -1) << "a second release finds no pool";
}

TEST(GRam, ReportsPageSizeAndBlockOnStandardError) {
  G_RAM ram;
  ram.report = 1;
  testing::internal::CaptureStderr();
  ASSERT_EQ(ram.init(1), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string marker = ram.locked ? " [LOCKED]\n" : " \n";
  EXPECT_EQ(err.rfind(":: page size   2 MB  :: align    2 MB RAM at: 0x", 0), 0u) << err;
  EXPECT_EQ(err.substr(err.size() - marker.size()), marker) << err;
}

TEST(GRam, ResetLeavesEveryFieldZero) {
  G_RAM ram;
  testing::internal::CaptureStderr();
  ASSERT_EQ(ram.init(1), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ram.reset(), 0);
  const uint64_t numbers[] = {ram.awe,       ram.locked, ram.pages_requested,        ram.pages_received,
                              ram.size_pfns, ram.report, ram.allocation_granularity, ram.page_count,
                              ram.page_size, ram.bytes};
  for (uint64_t n : numbers)
    EXPECT_EQ(n, 0u);
  const void *pointers[] = {ram.aPFNs, ram.h_process, ram.h_token, ram.base};
  for (const void *p : pointers)
    EXPECT_EQ(p, nullptr);
  EXPECT_EQ(ram.init(1), 0) << "a reset record can be used again";
}

// The platform's answer, found through kernel32 as on Windows, with 2 MiB
// and a cleared flag when it has none.
TEST(GRam, LargePageMinimumIsTheSystemsOrTwoMiB) {
  const SIZE_T system = GetLargePageMinimum();
  uint8_t flag = 7;
  const uint32_t size = large_page_minimum(&flag);
  EXPECT_EQ(size, system != 0 ? system : G_RAM_DEFAULT_PAGE_SIZE);
  EXPECT_EQ(flag, system != 0 ? 1 : 0);
  EXPECT_EQ(large_page_minimum(nullptr), size);
}

} // namespace
