// Large pages mapped onto Linux: the large page minimum, the lock-memory
// privilege and physical pages (AWE) over hugetlb memory.
//
// Physical pages come from huge pages that an administrator reserved
// (/sys/kernel/mm/hugepages/hugepages-<N>kB/nr_hugepages); a default machine
// has none. The lock-memory privilege counts as held exactly when free huge
// pages exist, so a caller that tries physical pages only with the privilege
// stays quiet on a default machine and uses them where they were set up.
//
// One huge page size serves everything: the smallest the kernel offers. Its
// default size may be far larger (1 GiB), and the relay's pool is a whole
// number of these pages.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "large_pages.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "pseudo_handles.h"

namespace winapi {
namespace large_pages {

size_t smallest_size(const char *directory) {
  DIR *listing = opendir(directory);
  if (listing == nullptr)
    return 0;
  constexpr char prefix[] = "hugepages-";
  size_t smallest = 0;
  while (const dirent *entry = readdir(listing)) {
    const char *name = entry->d_name;
    if (strncmp(name, prefix, sizeof(prefix) - 1) != 0)
      continue;
    const char *digits = name + sizeof(prefix) - 1;
    if (*digits < '0' || *digits > '9')
      continue;
    char *unit = nullptr;
    const unsigned long long kilobytes = strtoull(digits, &unit, 10);
    if (strcmp(unit, "kB") != 0 || kilobytes == 0 || kilobytes > SIZE_MAX / 1024)
      continue;
    const size_t bytes = static_cast<size_t>(kilobytes) * 1024;
    if (smallest == 0 || bytes < smallest)
      smallest = bytes;
  }
  closedir(listing);
  return smallest;
}

} // namespace large_pages

namespace {

using large_pages::round_up;
using large_pages::small_page_size;

constexpr char hugepages_directory[] = "/sys/kernel/mm/hugepages";
constexpr DWORD se_lock_memory_privilege = 4;
// MFD_HUGE_SHIFT of <linux/memfd.h>, which clashes with <sys/mman.h>.
constexpr unsigned memfd_huge_shift = 26;

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

// The free huge pages of `size` bytes; /proc/meminfo counts those of the
// default size, which is the size in use when sysfs lists none.
long long free_huge_pages(size_t size) {
  char path[128];
  snprintf(path, sizeof(path), "%s/hugepages-%zukB/free_hugepages", hugepages_directory, size / 1024);
  FILE *file = fopen(path, "re");
  if (file == nullptr)
    return meminfo_value("HugePages_Free:");
  long long count = -1;
  if (fscanf(file, "%lld", &count) != 1)
    count = -1;
  fclose(file);
  return count;
}

// The physical page blocks. A frame number is the block's id in the high
// half and the page's index within the block in the low half; ids are never
// reused, so a stale frame number cannot reach another block.
struct physical_block {
  int fd;
  size_t pages;
  size_t bytes;
};

struct block_table {
  std::mutex mutex;
  std::map<ULONG_PTR, physical_block> blocks;
  ULONG_PTR next_block = 1;
};

block_table &table() {
  static block_table *const instance = new block_table;
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

} // namespace

namespace large_pages {

size_t page_size() {
  if (const size_t smallest = smallest_size(hugepages_directory))
    return smallest;
  const long long kilobytes = meminfo_value("Hugepagesize:");
  return kilobytes > 0 ? static_cast<size_t>(kilobytes) * 1024 : 0;
}

size_t small_page_size() {
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t round_up(size_t value, size_t unit) {
  return (value + unit - 1) / unit * unit;
}

void *reserve(size_t size, size_t *length) {
  size_t huge = page_size();
  if (huge == 0)
    huge = small_page_size();
  *length = round_up(size, huge);
  void *raw = mmap(nullptr, *length + huge, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED)
    return nullptr;
  const uintptr_t raw_start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = round_up(raw_start, huge);
  if (aligned != raw_start)
    munmap(raw, aligned - raw_start);
  if (const size_t tail = raw_start + *length + huge - (aligned + *length))
    munmap(reinterpret_cast<void *>(aligned + *length), tail);
  return reinterpret_cast<void *>(aligned);
}

} // namespace large_pages

// The smallest huge page size; 0 when the kernel has none.
SIZE_T GetLargePageMinimum() {
  return large_pages::page_size();
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
      if (!known || free_huge_pages(large_pages::page_size()) <= 0)
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
  const size_t huge = large_pages::page_size();
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
  const unsigned size_flag = static_cast<unsigned>(std::countr_zero(huge)) << memfd_huge_shift;
  const int fd = memfd_create("physical-pages", MFD_CLOEXEC | MFD_HUGETLB | size_flag);
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
  block_table &t = table();
  std::lock_guard<std::mutex> hold(t.mutex);
  const ULONG_PTR block = t.next_block++;
  t.blocks[block] = physical_block{fd, requested, bytes};
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
  const size_t huge = large_pages::page_size();
  const uintptr_t start = reinterpret_cast<uintptr_t>(address);
  uintptr_t region_start = 0;
  uintptr_t region_end = 0;
  if (huge == 0 || !large_pages::find_reservation(start, &region_start, &region_end) ||
      (start - region_start) % huge != 0 || page_count > (region_end - start) / page) {
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

  block_table &t = table();
  std::lock_guard<std::mutex> hold(t.mutex);
  for (ULONG_PTR i = 0; i < page_count;) {
    const ULONG_PTR first = page_frames[i];
    ULONG_PTR run = 1;
    while (i + run < page_count && page_frames[i + run] == first + run)
      ++run;
    auto block = t.blocks.find(block_of(first));
    const uintptr_t target = start + i * page;
    const size_t offset = page_of(first) * page;
    const size_t length = round_up(run * page, huge);
    if (block == t.blocks.end() || page_of(first) + run > block->second.pages || target % huge != 0 ||
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
  block_table &t = table();
  std::lock_guard<std::mutex> hold(t.mutex);
  std::map<ULONG_PTR, size_t> listed;
  for (ULONG_PTR i = 0; i < *page_count; ++i) {
    auto block = t.blocks.find(block_of(page_frames[i]));
    if (block == t.blocks.end() || page_of(page_frames[i]) >= block->second.pages) {
      *page_count = 0;
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ++listed[block->first];
  }
  for (const auto &[block, count] : listed) {
    if (count != t.blocks[block].pages) {
      *page_count = 0;
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  for (const auto &entry : listed) {
    close(t.blocks[entry.first].fd);
    t.blocks.erase(entry.first);
  }
  return TRUE;
}

} // namespace winapi
