// Reads that leave the page cache as they find it: what the cache holds of a
// range is taken from it, the rest comes from the device through a second
// descriptor opened with O_DIRECT, so that reading a whole disk once neither
// pushes the rest of the system out of the cache nor pays for filling it.
// Linux only; plain functions, any thread (each thread reads through its
// own aligned buffer).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace trv::platform {

// How many bytes of the `length` at `offset` of `fd`, counted from the
// start, the page cache holds, found without reading anything (mincore on a
// mapping that is never touched). A read with RWF_NOWAIT is no such test: a
// read that finds a page missing starts the kernel's read-ahead of it. The
// whole length when the kernel cannot tell (a file it will not map).
std::size_t cached_prefix(int fd, std::uint64_t offset, std::size_t length);

// The file of `fd` opened again with O_DIRECT for reading (through
// /proc/self/fd, so that it is the same file whatever its path names now),
// or -1 when it cannot be.
int open_direct_twin(int fd);

// Reads up to `length` bytes at `offset` of the file into `buffer` (which
// needs no alignment): the prefix the page cache holds through `fd`, the
// rest through `direct_fd`, its twin, a piece at a time through the
// thread's aligned buffer, where `offset` is a multiple of `block`. Returns
// the bytes read: fewer at the end of the file, at a refusal (*refused: the
// kernel takes no direct reads of this file or with this alignment), at a
// short direct read and at a failure (*error: its errno); the caller reads
// on through the page cache where there is more.
std::size_t read_passing_cache(int fd, int direct_fd, std::size_t block, void* buffer,
                               std::size_t length, std::uint64_t offset, bool* refused, int* error);

}  // namespace trv::platform
