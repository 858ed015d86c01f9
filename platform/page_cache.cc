// Page-cache residency by cachestat or, on kernels without it, by mincore on
// a mapping that is never touched.
#include "platform/page_cache.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace trv::platform {

bool page_cache_holds_none_by_mapping(int fd, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return true;
  static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = offset / page * page;
  const std::uint64_t pages = (offset + length - start + page - 1) / page;
  void* map = ::mmap(nullptr, pages * page, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
  if (map == MAP_FAILED) return false;
  unsigned char resident[256];
  bool none = true;
  for (std::uint64_t done = 0; none && done < pages;) {
    const std::uint64_t ask = std::min<std::uint64_t>(sizeof resident, pages - done);
    // A question the kernel will not answer counts as "held": the ordinary
    // read is right either way.
    none = ::mincore(static_cast<char*>(map) + done * page, ask * page, resident) == 0 &&
           std::none_of(resident, resident + ask, [](unsigned char r) { return (r & 1) != 0; });
    done += ask;
  }
  ::munmap(map, pages * page);
  return none;
}

bool page_cache_holds_none(int fd, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return true;  // to cachestat, 0 means up to the end of the file
  struct Range {
    std::uint64_t offset, length;
  } range{offset, length};
  struct Counts {
    std::uint64_t cached, dirty, writeback, evicted, recently_evicted;
  } counts{};
  constexpr long kCachestat = 451;  // the same number on every architecture
  static std::atomic<bool> missing{false};
  if (!missing.load(std::memory_order_relaxed)) {
    if (::syscall(kCachestat, fd, &range, &counts, 0) == 0) return counts.cached == 0;
    if (errno != ENOSYS) return false;
    missing.store(true, std::memory_order_relaxed);
  }
  return page_cache_holds_none_by_mapping(fd, offset, length);
}

}  // namespace trv::platform
