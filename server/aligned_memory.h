// Memory for direct I/O: the kernel wants the buffer of an O_DIRECT read or
// write aligned, as well as its file position and length. Plain functions,
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Buffers of direct reads and writes start at a multiple of this, which
// serves every logical block size a direct open is used with.
inline constexpr std::size_t kDirectMemoryAlignment = 4096;

struct AlignedFree {
  void operator()(std::uint8_t* memory) const { std::free(memory); }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t, AlignedFree>;

// `size` bytes at a multiple of kDirectMemoryAlignment; empty when the
// memory cannot be had.
inline AlignedBuffer allocate_aligned(std::size_t size) {
  void* memory = nullptr;
  if (::posix_memalign(&memory, kDirectMemoryAlignment, size) != 0) return nullptr;
  return AlignedBuffer(static_cast<std::uint8_t*>(memory));
}
