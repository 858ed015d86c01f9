// Whether the page cache holds any of a range of a file or disk, found
// without reading it: a read that merely tries the cache (RWF_NOWAIT) is no
// such test, because a miss starts the kernel's read-ahead of the very pages
// a direct read is about to bring. Linux only; any thread.
#pragma once

#include <cstdint>

namespace trv::platform {

// True when the page cache is known to hold no page of the `length` bytes at
// `offset` of `fd`; false when it holds one or the kernel cannot tell. Asks
// cachestat (Linux 6.5 and later), else mincore.
bool page_cache_holds_none(int fd, std::uint64_t offset, std::uint64_t length);

// The mincore way alone: maps the range (never touching it) and asks which
// of its pages are resident. What older kernels use; tests call it directly.
bool page_cache_holds_none_by_mapping(int fd, std::uint64_t offset, std::uint64_t length);

}  // namespace trv::platform
