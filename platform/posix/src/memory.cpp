// Windows memory services mapped onto Linux: the large page minimum, the
// lock-memory privilege, physical pages (AWE) over hugetlb memory, address
// reservations, the working set, page locking and the heaps.
//
// Physical pages come from huge pages that an administrator reserved
// (/proc/sys/vm/nr_hugepages); a default machine has none. The lock-memory
// privilege counts as held exactly when free huge pages exist, so a caller
// that tries physical pages only with the privilege stays quiet on a
// default machine and uses them where they were set up.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/console.h"
#include "platform/memory.h"
#include "pseudo_handles.h"

namespace winapi {
namespace {

constexpr DWORD se_lock_memory_privilege = 4;
constexpr DWORD heap_zero_memory = 0x00000008;

// A value of /proc/meminfo ("Hugepagesize:", "HugePages_Free:"), or -1.
long long meminfo_value(const char *key) {
  FILE *meminfo = fopen("/proc/meminfo", "re");
  if (meminfo == nullptr)
    return -1;
  char line[256];
  long long value = -1;
  const size_t key_length = strlen(key);
  while (fgets(line, sizeof(line), meminfo) != nullptr) {
    if (strncmp(line, key, key_length) == 0) {
      value = strtoll(line + key_length, nullptr, 10);
      break;
    }
  }
  fclose(meminfo);
  return value;
}

size_t huge_page_size() {
  const long long kilobytes = meminfo_value("Hugepagesize:");
  return kilobytes > 0 ? static_cast<size_t>(kilobytes) * 1024 : 0;
}

size_t small_page_size() {
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t round_up(size_t value, size_t unit) {
  return (value + unit - 1) / unit * unit;
}

// The address ranges that VirtualAlloc handed out, and the physical page
// blocks. A frame number is the block's id in the high half and the page's
// index within the block in the low half; ids are never reused, so a stale
// frame number cannot reach another block.
struct region {
  size_t size;
  bool physical;
};

struct physical_block {
  int fd;
  size_t pages;
  size_t bytes;
};

struct memory_state {
  std::mutex mutex;
  std::map<uintptr_t, region> regions;
  std::map<ULONG_PTR, physical_block> blocks;
  ULONG_PTR next_block = 1;
};

memory_state &state() {
  static memory_state *const instance = new memory_state;
  return *instance;
}

ULONG_PTR block_of(ULONG_PTR frame) {
  return frame >> 32;
}
size_t page_of(ULONG_PTR frame) {
  return static_cast<size_t>(frame & 0xFFFFFFFFu);
}

DWORD error_from_errno(int error) {
  switch (error) {
  case ENOMEM:
  case ENOSPC:
  case EMFILE:
  case ENFILE:
    return ERROR_NO_SYSTEM_RESOURCES;
  case EPERM:
  case EACCES:
    return ERROR_PRIVILEGE_NOT_HELD;
  case EINVAL:
  case ENOSYS:
  case EOPNOTSUPP:
    return ERROR_NOT_SUPPORTED;
  default:
    return ERROR_NO_SYSTEM_RESOURCES;
  }
}

char kernel32_module;
char process_heap;

} // namespace

// Only kernel32.dll is known; it offers GetLargePageMinimum.
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD) {
  if (name == nullptr || file != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (_wcsicmp(name, L"kernel32.dll") != 0 && _wcsicmp(name, L"kernel32") != 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return &kernel32_module;
}

FARPROC GetProcAddress(HMODULE module, const char *name) {
  if (module != &kernel32_module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Names below 0x10000 are ordinals, which are not served.
  if (reinterpret_cast<uintptr_t>(name) < 0x10000 || strcmp(name, "GetLargePageMinimum") != 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(&GetLargePageMinimum);
}

BOOL FreeLibrary(HMODULE module) {
  if (module != &kernel32_module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// The kernel's huge page size; 0 when it has none.
SIZE_T GetLargePageMinimum() {
  return huge_page_size();
}

BOOL OpenProcessToken(HANDLE process, DWORD, HANDLE *token) {
  if (process != pseudo::current_process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (token == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *token = pseudo::current_process_token;
  return TRUE;
}

// Only the local system and "SeLockMemoryPrivilege" are known.
BOOL LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, LUID *luid) {
  if ((system != nullptr && *system != L'\0') || name == nullptr || luid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (_wcsicmp(name, L"SeLockMemoryPrivilege") != 0) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  *luid = LUID{se_lock_memory_privilege, 0};
  return TRUE;
}

// Enabling the lock-memory privilege succeeds when free huge pages exist;
// otherwise the call still succeeds but leaves ERROR_NOT_ALL_ASSIGNED, as
// Windows does for a privilege that the account does not hold. The previous
// state is reported as empty: nothing was enabled before.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES *new_state, DWORD length,
                           TOKEN_PRIVILEGES *previous, DWORD *return_length) {
  if (token != pseudo::current_process_token) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!disable_all && new_state == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (previous != nullptr) {
    if (return_length != nullptr)
      *return_length = sizeof(DWORD);
    if (length < sizeof(DWORD)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    previous->PrivilegeCount = 0;
  }
  bool all_assigned = true;
  if (!disable_all) {
    for (DWORD i = 0; i < new_state->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES &privilege = new_state->Privileges[i];
      if ((privilege.Attributes & SE_PRIVILEGE_ENABLED) == 0)
        continue;
      const bool known = privilege.Luid.LowPart == se_lock_memory_privilege && privilege.Luid.HighPart == 0;
      if (!known || meminfo_value("HugePages_Free:") <= 0)
        all_assigned = false;
    }
  }
  SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

// The pages come from one hugetlb memory file, its size rounded up to the
// huge page size and allocated at once, so that the huge pages are really
// reserved now and not at the first touch. All pages or none are granted.
BOOL AllocateUserPhysicalPages(HANDLE process, ULONG_PTR *page_count, ULONG_PTR *page_frames) {
  if (process != pseudo::current_process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (page_count == nullptr || page_frames == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const ULONG_PTR requested = *page_count;
  *page_count = 0;
  const size_t huge = huge_page_size();
  if (huge == 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (requested == 0)
    return TRUE;
  if (requested > 0xFFFFFFFFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const size_t bytes = round_up(requested * small_page_size(), huge);
  const int fd = memfd_create("physical-pages", MFD_CLOEXEC | MFD_HUGETLB);
  if (fd < 0) {
    SetLastError(error_from_errno(errno));
    return FALSE;
  }
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0 || fallocate(fd, 0, 0, static_cast<off_t>(bytes)) != 0) {
    const int error = errno;
    close(fd);
    SetLastError(error_from_errno(error));
    return FALSE;
  }
  memory_state &s = state();
  std::lock_guard<std::mutex> hold(s.mutex);
  const ULONG_PTR block = s.next_block++;
  s.blocks[block] = physical_block{fd, requested, bytes};
  for (ULONG_PTR i = 0; i < requested; ++i)
    page_frames[i] = (block << 32) | i;
  *page_count = requested;
  return TRUE;
}

// hugetlb memory maps in whole huge pages only: every run of consecutive
// frames of one block has to start at a huge page boundary both in the
// block and in the reservation. Without frames the range returns to a bare
// reservation.
BOOL MapUserPhysicalPages(LPVOID address, ULONG_PTR page_count, ULONG_PTR *page_frames) {
  const size_t page = small_page_size();
  const size_t huge = huge_page_size();
  const uintptr_t start = reinterpret_cast<uintptr_t>(address);
  memory_state &s = state();
  std::lock_guard<std::mutex> hold(s.mutex);

  auto found = s.regions.upper_bound(start);
  if (found == s.regions.begin() || huge == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  --found;
  const uintptr_t region_end = found->first + found->second.size;
  if (!found->second.physical || (start - found->first) % huge != 0 || page_count > (region_end - start) / page) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  if (page_frames == nullptr) {
    const size_t length = std::min(round_up(page_count * page, huge), static_cast<size_t>(region_end - start));
    if (length != 0 && mmap(address, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
                            0) == MAP_FAILED) {
      SetLastError(error_from_errno(errno));
      return FALSE;
    }
    return TRUE;
  }

  for (ULONG_PTR i = 0; i < page_count;) {
    const ULONG_PTR first = page_frames[i];
    ULONG_PTR run = 1;
    while (i + run < page_count && page_frames[i + run] == first + run)
      ++run;
    auto block = s.blocks.find(block_of(first));
    const uintptr_t target = start + i * page;
    const size_t offset = page_of(first) * page;
    const size_t length = round_up(run * page, huge);
    if (block == s.blocks.end() || page_of(first) + run > block->second.pages || target % huge != 0 ||
        offset % huge != 0 || target + length > region_end || offset + length > block->second.bytes) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (mmap(reinterpret_cast<void *>(target), length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, block->second.fd,
             static_cast<off_t>(offset)) == MAP_FAILED) {
      SetLastError(error_from_errno(errno));
      return FALSE;
    }
    i += run;
  }
  return TRUE;
}

// Frees whole blocks: the frames given must be all frames of the blocks
// they belong to. Pages still mapped stay valid until their range is
// released.
BOOL FreeUserPhysicalPages(HANDLE process, ULONG_PTR *page_count, ULONG_PTR *page_frames) {
  if (process != pseudo::current_process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (page_count == nullptr || (page_frames == nullptr && *page_count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  memory_state &s = state();
  std::lock_guard<std::mutex> hold(s.mutex);
  std::map<ULONG_PTR, size_t> listed;
  for (ULONG_PTR i = 0; i < *page_count; ++i) {
    auto block = s.blocks.find(block_of(page_frames[i]));
    if (block == s.blocks.end() || page_of(page_frames[i]) >= block->second.pages) {
      *page_count = 0;
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ++listed[block->first];
  }
  for (const auto &[block, count] : listed) {
    if (count != s.blocks[block].pages) {
      *page_count = 0;
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  for (const auto &entry : listed) {
    close(s.blocks[entry.first].fd);
    s.blocks.erase(entry.first);
  }
  return TRUE;
}

// Served: MEM_COMMIT (with or without MEM_RESERVE), read-write memory at an
// address of the system's choice; and MEM_RESERVE | MEM_PHYSICAL, a range
// without access, aligned to the huge page size, for MapUserPhysicalPages.
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
  const bool physical = type == (MEM_RESERVE | MEM_PHYSICAL);
  const bool commit = type == MEM_COMMIT || type == (MEM_COMMIT | MEM_RESERVE);
  if (address != nullptr || size == 0 || protect != PAGE_READWRITE || (!physical && !commit)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void *base;
  size_t length;
  if (physical) {
    size_t huge = huge_page_size();
    if (huge == 0)
      huge = small_page_size();
    length = round_up(size, huge);
    void *raw = mmap(nullptr, length + huge, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    const uintptr_t raw_start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = round_up(raw_start, huge);
    if (aligned != raw_start)
      munmap(raw, aligned - raw_start);
    if (const size_t tail = raw_start + length + huge - (aligned + length))
      munmap(reinterpret_cast<void *>(aligned + length), tail);
    base = reinterpret_cast<void *>(aligned);
  } else {
    length = round_up(size, small_page_size());
    base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  memory_state &s = state();
  std::lock_guard<std::mutex> hold(s.mutex);
  s.regions[reinterpret_cast<uintptr_t>(base)] = region{length, physical};
  return base;
}

// Only MEM_RELEASE of a whole range from VirtualAlloc (size 0) is served.
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
  if (type != MEM_RELEASE || size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  memory_state &s = state();
  std::lock_guard<std::mutex> hold(s.mutex);
  auto found = s.regions.find(reinterpret_cast<uintptr_t>(address));
  if (found == s.regions.end()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  munmap(address, found->second.size);
  s.regions.erase(found);
  return TRUE;
}

// Locked pages count against RLIMIT_MEMLOCK unless the process has
// CAP_IPC_LOCK; SetProcessWorkingSetSize raises that limit.
BOOL VirtualLock(LPVOID address, SIZE_T size) {
  if (mlock(address, size) != 0) {
    SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_WORKING_SET_QUOTA);
    return FALSE;
  }
  return TRUE;
}

BOOL VirtualUnlock(LPVOID address, SIZE_T size) {
  if (munlock(address, size) != 0) {
    SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

// The working set's maximum becomes the soft RLIMIT_MEMLOCK, which is only
// ever raised. Beyond the hard limit the hard limit is raised too where the
// process may (CAP_SYS_RESOURCE); otherwise the soft limit goes up to the
// hard one and the call fails. The minimum has no counterpart.
BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum) {
  if (process != pseudo::current_process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (minimum == static_cast<SIZE_T>(-1) && maximum == static_cast<SIZE_T>(-1))
    return TRUE;
  if (minimum > maximum) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  rlimit limit;
  if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) {
    SetLastError(ERROR_WORKING_SET_QUOTA);
    return FALSE;
  }
  const rlim_t wanted = static_cast<rlim_t>(maximum);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted)
    return TRUE;
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted) {
    const rlimit raised{wanted, limit.rlim_max};
    if (setrlimit(RLIMIT_MEMLOCK, &raised) == 0)
      return TRUE;
    SetLastError(ERROR_WORKING_SET_QUOTA);
    return FALSE;
  }
  const rlimit both{wanted, wanted};
  if (setrlimit(RLIMIT_MEMLOCK, &both) == 0)
    return TRUE;
  const DWORD error = errno == EPERM ? ERROR_PRIVILEGE_NOT_HELD : ERROR_WORKING_SET_QUOTA;
  const rlimit up_to_hard{limit.rlim_max, limit.rlim_max};
  setrlimit(RLIMIT_MEMLOCK, &up_to_hard);
  SetLastError(error);
  return FALSE;
}

HANDLE GetProcessHeap() {
  return &process_heap;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (heap != &process_heap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void *memory = (flags & heap_zero_memory) != 0 ? calloc(1, bytes != 0 ? bytes : 1) : malloc(bytes != 0 ? bytes : 1);
  if (memory == nullptr)
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID memory) {
  if (heap != &process_heap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  free(memory);
  return TRUE;
}

// MSVC accepts any power of two; posix_memalign needs at least a pointer's
// size.
void *_aligned_malloc(size_t size, size_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void *memory = nullptr;
  if (posix_memalign(&memory, std::max(alignment, sizeof(void *)), size) != 0) {
    errno = ENOMEM;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return memory;
}

void _aligned_free(void *memory) {
  free(memory);
}

} // namespace winapi
