#include "memory/g_ram.h"

#include <cstdio>
#include <cstring>

#include "platform/sync.h"
#include "shell/console.h"

namespace {

constexpr uint64_t MiB = 1024 * 1024;

uint32_t whole_mib(uint64_t bytes) {
  return static_cast<uint32_t>(bytes / MiB);
}

} // namespace

uint32_t large_page_minimum(uint8_t *flag_out) {
  if (flag_out != nullptr)
    *flag_out = 0;
  HMODULE kernel32 = LoadLibraryExW(L"kernel32.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (kernel32 == nullptr)
    return static_cast<uint32_t>(G_RAM_DEFAULT_PAGE_SIZE);

  uint64_t result = G_RAM_DEFAULT_PAGE_SIZE;
  using get_large_page_minimum_t = SIZE_T (*)();
  auto get_minimum = reinterpret_cast<get_large_page_minimum_t>(GetProcAddress(kernel32, "GetLargePageMinimum"));
  if (get_minimum != nullptr) {
    SIZE_T minimum = get_minimum();
    if (minimum != 0) {
      if (flag_out != nullptr)
        *flag_out = 1;
      result = minimum;
    }
  }
  FreeLibrary(kernel32);
  return static_cast<uint32_t>(result);
}

int enable_lock_memory(HANDLE h_token) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &privileges.Privileges[0].Luid))
    return -1;
  if (!AdjustTokenPrivileges(h_token, FALSE, &privileges, 0, nullptr, nullptr))
    return static_cast<int>(GetLastError());
  return 0;
}

int G_RAM::init(uint64_t count) {
  page_count = count;
  page_size = large_page_minimum(&awe);
  bytes = page_size * page_count;

  h_process = GetCurrentProcess();
  OpenProcessToken(h_process, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &h_token);

  if (awe == 1) {
    awe = enable_lock_memory(h_token) == 0 ? 1 : 0;
    // The adjustment succeeds even when the account lacks the privilege.
    if (GetLastError() != 0) {
      awe = 0;
    } else if (awe == 1) {
      base = alloc_awe(bytes);
      if (base == nullptr) {
        awe = 0;
        if (report)
          wfprint(stderr, L"\n");
        print_error_stderr(GetLastError(), L"!! Failed to allocate physical RAM, the feature will be disabled!");
      }
    }
  }

  if (report)
    wfprint(stderr, L":: page size %3u MB  ", whole_mib(page_size));

  if (awe == 0) {
    SetProcessWorkingSetSize(h_process, bytes + 8 * page_size, bytes + 8 * page_size);
    base = static_cast<uint8_t *>(_aligned_malloc(bytes, page_size));
    locked = base != nullptr && VirtualLock(base, bytes) ? 1 : 0;
    if (report)
      wfprint(stderr, L":: align %4u MB RAM at: 0x%016zx %hs\n", whole_mib(bytes), reinterpret_cast<size_t>(base),
              locked == 1 ? "[LOCKED]" : "");
    if (locked == 1)
      memset(base, 0, bytes);
  }

  if (base == nullptr) {
    print_error_stderr(GetLastError(), L"!! _aligned_malloc() failed to allocate RAM!");
    return -1;
  }
  return 0;
}

uint8_t *G_RAM::alloc_awe(uint64_t size) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  const uint64_t small_page = info.dwPageSize;

  pages_requested = size / small_page;
  pages_received = pages_requested;
  size_pfns = pages_requested * 8;
  aPFNs = static_cast<ULONG_PTR *>(HeapAlloc(GetProcessHeap(), 0, size_pfns));

  bool allocated = false;
  bool mapped = false;
  void *address = nullptr;
  if (aPFNs != nullptr) {
    allocated = AllocateUserPhysicalPages(h_process, &pages_received, aPFNs);
    address = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE);
    mapped = address != nullptr && MapUserPhysicalPages(address, pages_received, aPFNs);
  }
  const bool succeeded = allocated && mapped && pages_received >= pages_requested;

  if (report || !succeeded)
    wfprint(stderr, L":: AWE %9u MB physical RAM at: 0x%016zx\n", whole_mib(small_page * pages_received),
            reinterpret_cast<size_t>(address));
  if (succeeded)
    return static_cast<uint8_t *>(address);

  wfprint(stderr, L"\n");
  wfprint(stderr, L"Memory to request for PFN array\t%8zu KB\taPFNs [0x%08zx]\n", static_cast<size_t>(size_pfns / 1024),
          reinterpret_cast<size_t>(aPFNs));
  wfprint(stderr, L"Requested number of pages\t%8zu\tRequested %5u MB\n", static_cast<size_t>(pages_requested),
          whole_mib(small_page * pages_requested));
  wfprint(stderr, L"Received  number of pages\t%8zu\tReceived  %5u MB\n", static_cast<size_t>(pages_received),
          whole_mib(small_page * pages_received));
  wfprint(stderr, L"AllocateUserPhysicalPages\t%8hs\tpage size %5u bytes\n", allocated ? "[OK]" : "[FAILED]",
          static_cast<uint32_t>(small_page));
  wfprint(stderr, L"MapUserPhysicalPages\t\t%8hs\n", mapped ? "[OK]" : "[FAILED]");

  if (address != nullptr) {
    MapUserPhysicalPages(address, pages_received, nullptr);
    VirtualFree(address, 0, MEM_RELEASE);
  }
  if (aPFNs != nullptr) {
    FreeUserPhysicalPages(h_process, &pages_received, aPFNs);
    HeapFree(GetProcessHeap(), 0, aPFNs);
  }
  aPFNs = nullptr;
  return nullptr;
}

int G_RAM::scrub() {
  if (base == nullptr)
    return -1;
  bytes = page_size * page_count;
  if (awe == 1 || locked == 1)
    memset(base, 0, bytes);
  return 0;
}

int G_RAM::release() {
  if (scrub() != 0)
    return -1;
  if (awe == 1) {
    MapUserPhysicalPages(base, pages_received, nullptr);
    VirtualFree(base, 0, MEM_RELEASE);
    FreeUserPhysicalPages(h_process, &pages_received, aPFNs);
    HeapFree(GetProcessHeap(), 0, aPFNs);
    aPFNs = nullptr;
    base = nullptr;
    return 0;
  }
  if (locked == 1)
    VirtualUnlock(base, bytes);
  _aligned_free(base);
  base = nullptr;
  return 0;
}

int G_RAM::reset() {
  int result = release();
  awe = 0;
  locked = 0;
  pages_requested = 0;
  pages_received = 0;
  size_pfns = 0;
  aPFNs = nullptr;
  h_process = nullptr;
  h_token = nullptr;
  report = 0;
  allocation_granularity = 0;
  page_count = 0;
  page_size = 0;
  bytes = 0;
  base = nullptr;
  return result;
}
