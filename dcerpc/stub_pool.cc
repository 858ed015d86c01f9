#include "dcerpc/stub_pool.h"

#include <cstdlib>

#include "dcerpc/large_buffer.h"

namespace rpc {

namespace {
constexpr std::size_t kSlabBlocks = 8;
}  // namespace

StubPool::StubPool(std::size_t block_size, std::size_t max_kept)
    : block_size_(block_size), max_kept_(max_kept) {
  // Room for max_kept_ blocks of the pool's size made one by one besides
  // every slab's: give_back never grows the vector.
  kept_.reserve(2 * max_kept_);
  slabs_.reserve(max_kept_ / kSlabBlocks);
}

StubPool::~StubPool() {
  for (StubBlock& block : kept_) {
    if (!in_slab(block.data)) std::free(block.data);
  }
  for (std::uint8_t* slab : slabs_) free_large(slab, kSlabBlocks * block_size_);
}

bool StubPool::in_slab(const std::uint8_t* data) const {
  for (const std::uint8_t* slab : slabs_) {
    if (data >= slab && data < slab + kSlabBlocks * block_size_) return true;
  }
  return false;
}

StubBlock StubPool::take(std::size_t size) {
  if (size <= block_size_) {
    std::lock_guard lock(mutex_);
    if (kept_.empty() && (slabs_.size() + 1) * kSlabBlocks <= max_kept_ &&
        block_size_ % kStubAlignment == 0) {
      if (std::uint8_t* slab = allocate_large(kSlabBlocks * block_size_)) {
        slabs_.push_back(slab);
        for (std::size_t i = kSlabBlocks; i-- > 0;) {
          kept_.push_back({slab + i * block_size_, block_size_});
        }
      }
    }
    if (!kept_.empty()) {
      StubBlock block = kept_.back();
      kept_.pop_back();
      return block;
    }
    size = block_size_;
  }
  void* memory = nullptr;
  if (::posix_memalign(&memory, kStubAlignment, size) != 0) return {};
  return {static_cast<std::uint8_t*>(memory), size};
}

void StubPool::give_back(StubBlock block) {
  if (block.data == nullptr) return;
  if (block.capacity == block_size_) {
    std::lock_guard lock(mutex_);
    // A slab's block always has its place: the slabs hold at most max_kept_.
    if (in_slab(block.data) || kept_.size() < max_kept_) {
      kept_.push_back(block);
      return;
    }
  }
  std::free(block.data);
}

}  // namespace rpc
