// Memory for long-lived buffers of a mebibyte or more: the client's chunk
// buffers, the server's read, read-ahead and reassembly buffers. On Linux each comes
// straight from mmap, starting at a 2 MiB boundary, and is offered to
// transparent huge pages, so that touching it the first time costs one page
// fault per 2 MiB wherever the system grants them, instead of one per 4 KiB
// (on a virtual machine a 4 KiB fault can cost 10 microseconds: 40 ms for the
// first pass over 16 MiB). Only the whole 2 MiB stretches of a buffer can be
// huge pages, so sizes that are multiples of 2 MiB gain the most. Elsewhere,
// the aligned operator new (large_buffer_posix.cc, large_buffer_windows.cc).
// Plain functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace rpc {

// Every large buffer starts at a multiple of this (what O_DIRECT and
// unbuffered reads need of their memory), or of 2 MiB on Linux.
constexpr std::size_t kLargeBufferAlignment = 4096;

// `size` bytes (not cleared), or null when the memory cannot be had; freed
// with free_large and the same size.
std::uint8_t* allocate_large(std::size_t size);
void free_large(std::uint8_t* memory, std::size_t size);

struct LargeBufferFree {
  std::size_t size = 0;
  void operator()(std::uint8_t* memory) const { free_large(memory, size); }
};
using LargeBuffer = std::unique_ptr<std::uint8_t, LargeBufferFree>;

// allocate_large with its release attached; empty when none could be had.
inline LargeBuffer make_large_buffer(std::size_t size) {
  return LargeBuffer(allocate_large(size), LargeBufferFree{size});
}

}  // namespace rpc
