#include "platform/memory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "large_pages.h"
#include "platform/sync.h"
#include "support/temp_dir.h"

namespace {

// A value of a "key: value" line of a /proc file, or -1.
long long proc_value(const char *path, const char *key) {
  FILE *file = fopen(path, "re");
  if (file == nullptr)
    return -1;
  char line[256];
  long long value = -1;
  while (fgets(line, sizeof(line), file) != nullptr)
    if (strncmp(line, key, strlen(key)) == 0)
      value = strtoll(line + strlen(key), nullptr, 10);
  fclose(file);
  return value;
}

long long meminfo(const char *key) {
  return proc_value("/proc/meminfo", key);
}

long long locked_kilobytes() {
  return proc_value("/proc/self/status", "VmLck:");
}

// The sanitizers' runtimes turn mlock and munlock into calls that do
// nothing, so locked memory shows only in plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool locking_shows = false;
#else
constexpr bool locking_shows = true;
#endif

TEST(PlatformMemoryTest, LargePageMinimumComesThroughKernel32) {
  HMODULE kernel32 = LoadLibraryExW(L"KERNEL32.DLL", nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(kernel32, nullptr);
  FARPROC found = GetProcAddress(kernel32, "GetLargePageMinimum");
  ASSERT_NE(found, nullptr);
  const SIZE_T minimum = reinterpret_cast<SIZE_T (*)()>(found)();
  const size_t listed = large_pages::smallest_size("/sys/kernel/mm/hugepages");
  const long long default_kilobytes = meminfo("Hugepagesize:");
  EXPECT_EQ(minimum, listed != 0 ? listed : default_kilobytes > 0 ? static_cast<SIZE_T>(default_kilobytes) * 1024 : 0);

  SetLastError(0);
  EXPECT_EQ(GetProcAddress(kernel32, "VirtualAlloc2"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(kernel32));
  EXPECT_EQ(LoadLibraryExW(L"user32.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

// The huge page sizes as the kernel lists them, in a directory laid out like
// /sys/kernel/mm/hugepages. A host whose default is 1 GiB still offers 2 MiB.
TEST(PlatformMemoryTest, LargePageSizeIsTheSmallestListed) {
  constexpr size_t KiB = 1024;
  struct row {
    const char *what;
    std::vector<const char *> entries;
    size_t expected;
  };
  const row rows[] = {
      {"1 GiB default beside 2 MiB", {"hugepages-1048576kB", "hugepages-2048kB"}, 2048 * KiB},
      {"one size", {"hugepages-1048576kB"}, 1048576 * KiB},
      {"three sizes", {"hugepages-32768kB", "hugepages-64kB", "hugepages-2048kB"}, 64 * KiB},
      {"other names",
       {"hugepages-", "hugepages-kB", "hugepages-16kb", "hugepages-8kBx", "hugepages--4kB", "hugepages-+4kB",
        "hugepages-0kB", "other-4kB", "hugepages-2048kB"},
       2048 * KiB},
      {"no sizes", {}, 0},
  };
  for (const row &r : rows) {
    temp_dir listing;
    ASSERT_FALSE(listing.path.empty());
    for (const char *entry : r.entries)
      ASSERT_EQ(mkdir((listing.path + "/" + entry).c_str(), 0700), 0) << entry;
    EXPECT_EQ(large_pages::smallest_size(listing.path.c_str()), r.expected) << r.what;
  }
  EXPECT_EQ(large_pages::smallest_size("/nonexistent/hugepages"), 0u);
}

TEST(PlatformMemoryTest, LockMemoryPrivilegeIsHeldExactlyWhenHugePagesAreFree) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &privileges.Privileges[0].Luid));
  const DWORD expected = meminfo("HugePages_Free:") > 0 ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
  SetLastError(12345);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), expected);

  LUID other{};
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &other));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
  EXPECT_FALSE(AdjustTokenPrivileges(nullptr, FALSE, &privileges, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(token));
}

// The pool's physical page sequence: where huge pages are reserved it maps
// them; on a default machine it fails cleanly and grants nothing.
TEST(PlatformMemoryTest, PhysicalPagesMapOnlyWhereHugePagesAreReserved) {
  const SIZE_T huge = GetLargePageMinimum();
  if (huge == 0)
    GTEST_SKIP() << "the kernel has no huge pages";
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const bool reserved = meminfo("HugePages_Free:") > 0;
  const ULONG_PTR wanted = huge / info.dwPageSize;
  std::vector<ULONG_PTR> frames(wanted);
  ULONG_PTR granted = wanted;
  const BOOL allocated = AllocateUserPhysicalPages(GetCurrentProcess(), &granted, frames.data());
  const DWORD allocation_error = GetLastError();
  void *range = VirtualAlloc(nullptr, huge, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE);
  ASSERT_NE(range, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(range) % huge, 0u);

  if (!reserved) {
    EXPECT_FALSE(allocated);
    EXPECT_EQ(granted, 0u);
    EXPECT_EQ(allocation_error, ERROR_NO_SYSTEM_RESOURCES);
  } else {
    ASSERT_TRUE(allocated);
    EXPECT_EQ(granted, wanted);
    ASSERT_TRUE(MapUserPhysicalPages(range, granted, frames.data()));
    auto *bytes = static_cast<unsigned char *>(range);
    memset(bytes, 0xA5, huge);
    EXPECT_EQ(bytes[huge - 1], 0xA5);
    EXPECT_TRUE(MapUserPhysicalPages(range, granted, nullptr));
    EXPECT_TRUE(FreeUserPhysicalPages(GetCurrentProcess(), &granted, frames.data()));
  }
  EXPECT_TRUE(VirtualFree(range, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(range, 0, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
}

TEST(PlatformMemoryTest, CommittedRangesAreReadWrite) {
  auto *bytes = static_cast<unsigned char *>(VirtualAlloc(nullptr, 10000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(bytes, nullptr);
  memset(bytes, 0x5A, 10000);
  EXPECT_EQ(bytes[9999], 0x5A);
  EXPECT_TRUE(VirtualFree(bytes, 0, MEM_RELEASE));
}

TEST(PlatformMemoryTest, AlignedBlocksHaveTheirAlignment) {
  for (size_t alignment : {size_t{1}, size_t{16}, size_t{4096}, size_t{2} << 20}) {
    auto *block = static_cast<unsigned char *>(_aligned_malloc(3 * 4096 + 1, alignment));
    ASSERT_NE(block, nullptr) << alignment;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignment, 0u) << alignment;
    memset(block, 1, 3 * 4096 + 1);
    _aligned_free(block);
  }
  SetLastError(0);
  EXPECT_EQ(_aligned_malloc(64, 48), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  void *heap_block = HeapAlloc(GetProcessHeap(), 0, 64);
  ASSERT_NE(heap_block, nullptr);
  memset(heap_block, 0, 64);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, heap_block));
}

// The fallback pool: the working set raised to the pool and eight pages,
// then the block locked and unlocked.
TEST(PlatformMemoryTest, WorkingSetRaisesTheLockLimitAndLockingShows) {
  const SIZE_T pool = SIZE_T{2} << 20;
  const SIZE_T working_set = pool + 8 * pool;
  const BOOL raised = SetProcessWorkingSetSize(GetCurrentProcess(), working_set, working_set);
  const DWORD error = GetLastError();
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_MEMLOCK, &limit), 0);
  if (raised) {
    EXPECT_TRUE(limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= working_set);
  } else {
    EXPECT_TRUE(error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_WORKING_SET_QUOTA) << error;
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max) << "raised up to the hard limit";
  }

  void *block = _aligned_malloc(pool, pool);
  ASSERT_NE(block, nullptr);
  const long long before = locked_kilobytes();
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < pool + static_cast<rlim_t>(before) * 1024) {
    _aligned_free(block);
    GTEST_SKIP() << "the lock limit is below the pool";
  }
  ASSERT_TRUE(VirtualLock(block, pool));
  if (locking_shows) {
    EXPECT_GE(locked_kilobytes() - before, static_cast<long long>(pool / 1024));
  }
  EXPECT_TRUE(VirtualUnlock(block, pool));
  EXPECT_EQ(locked_kilobytes(), before);
  _aligned_free(block);
  EXPECT_FALSE(SetProcessWorkingSetSize(nullptr, working_set, working_set));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
