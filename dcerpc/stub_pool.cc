#include "dcerpc/stub_pool.h"

#include <cstdlib>

namespace rpc {

StubPool::StubPool(std::size_t block_size, std::size_t max_kept)
    : block_size_(block_size), max_kept_(max_kept) {
  kept_.reserve(max_kept_);
}

StubPool::~StubPool() {
  for (StubBlock& block : kept_) std::free(block.data);
}

StubBlock StubPool::take(std::size_t size) {
  if (size <= block_size_) {
    std::lock_guard lock(mutex_);
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
    if (kept_.size() < max_kept_) {
      kept_.push_back(block);
      return;
    }
  }
  std::free(block.data);
}

}  // namespace rpc
