// Aligned buffers for reassembling requests of more than one fragment. The
// server keeps a few of them between calls, so that a steady stream of 1 MiB
// calls allocates nothing, while idle connections hold none. The kept blocks
// are carved from a few large buffers (large_buffer.h), eight blocks each,
// taken as the calls at once grow: their first use then faults in huge pages
// where the system offers them, not 4 KiB pages one by one. Every member
// function may be called from any connection thread at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace rpc {

// A request's bulk bytes are placed at this alignment, which O_DIRECT writes
// need for their memory.
constexpr std::size_t kStubAlignment = 4096;

struct StubBlock {
  std::uint8_t* data = nullptr;  // aligned to kStubAlignment; null = none
  std::size_t capacity = 0;
};

class StubPool {
 public:
  // Blocks of `block_size` bytes are kept, at most `max_kept` of them.
  StubPool(std::size_t block_size, std::size_t max_kept);
  ~StubPool();
  StubPool(const StubPool&) = delete;
  StubPool& operator=(const StubPool&) = delete;

  // A block of at least `size` bytes: a kept one when `size` fits the pool's
  // block size, else one made for it. Its data is null when memory ran out.
  StubBlock take(std::size_t size);
  // Returns a block from take(); a pool block is kept while there is room,
  // any other is freed. A block with null data is ignored.
  void give_back(StubBlock block);

  std::size_t block_size() const { return block_size_; }

 private:
  // Whether `data` lies in one of the slabs; with mutex_ held.
  bool in_slab(const std::uint8_t* data) const;

  const std::size_t block_size_;
  const std::size_t max_kept_;
  std::mutex mutex_;
  std::vector<StubBlock> kept_;  // guarded by mutex_; capacity 2 * max_kept_ from the start
  // The large buffers the kept blocks come from, kSlabBlocks blocks each, at
  // most max_kept_ blocks in all; freed with the pool. Guarded by mutex_.
  std::vector<std::uint8_t*> slabs_;
};

}  // namespace rpc
