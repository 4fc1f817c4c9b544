// Windows memory services mapped onto Linux: the module lookup that finds
// the large page minimum, address reservations, the working set, page
// locking and the heaps. The large pages themselves live in large_pages.cpp.
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "large_pages.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "pseudo_handles.h"

namespace winapi {
namespace {

using large_pages::round_up;
using large_pages::small_page_size;

constexpr DWORD heap_zero_memory = 0x00000008;

// The address ranges that VirtualAlloc handed out, by start.
struct region {
  size_t size;
  bool physical;
};

struct region_table {
  std::mutex mutex;
  std::map<uintptr_t, region> regions;
};

region_table &table() {
  static region_table *const instance = new region_table;
  return *instance;
}

char kernel32_module;
char process_heap;

} // namespace

bool large_pages::find_reservation(uintptr_t address, uintptr_t *start, uintptr_t *end) {
  region_table &t = table();
  std::lock_guard<std::mutex> hold(t.mutex);
  auto found = t.regions.upper_bound(address);
  if (found == t.regions.begin())
    return false;
  --found;
  if (!found->second.physical || address >= found->first + found->second.size)
    return false;
  *start = found->first;
  *end = found->first + found->second.size;
  return true;
}

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
    base = large_pages::reserve(size, &length);
    if (base == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  } else {
    length = round_up(size, small_page_size());
    base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  region_table &t = table();
  std::lock_guard<std::mutex> hold(t.mutex);
  t.regions[reinterpret_cast<uintptr_t>(base)] = region{length, physical};
  return base;
}

// Only MEM_RELEASE of a whole range from VirtualAlloc (size 0) is served.
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
  if (type != MEM_RELEASE || size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  region_table &t = table();
  std::lock_guard<std::mutex> hold(t.mutex);
  auto found = t.regions.find(reinterpret_cast<uintptr_t>(address));
  if (found == t.regions.end()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  munmap(address, found->second.size);
  t.regions.erase(found);
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
