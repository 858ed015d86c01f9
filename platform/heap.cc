// Private heaps: each one a lock, a byte budget and the set of its live
// blocks, carved from malloc. Every call is serialised on the heap's lock.
//
// Differences from Windows: the maximum bounds the bytes handed out (the sum
// of the requested sizes), not pages; blocks of any size may come from a
// heap with a maximum (Windows limits those to under 512 KiB); the initial
// size reserves nothing; HeapAlloc sets ERROR_NOT_ENOUGH_MEMORY when it
// fails (Windows leaves the last error alone); HeapFree of a block the heap
// did not hand out fails with ERROR_INVALID_PARAMETER instead of corrupting
// the heap; HEAP_GENERATE_EXCEPTIONS raises nothing; HEAP_NO_SERIALIZE is
// ignored.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/error_map.h"
#include "platform/objects.h"

namespace trv::platform {
namespace {

class Heap : public KernelObject {
 public:
  static constexpr ObjectType kType = ObjectType::Heap;
  explicit Heap(SIZE_T maximum) : KernelObject(kType), maximum_(maximum) {}
  ~Heap() override {
    for (auto& [block, size] : blocks_) std::free(block);
  }

  void* allocate(SIZE_T bytes, bool zero) {
    std::lock_guard lock(mutex_);
    if (maximum_ != 0 && bytes > maximum_ - in_use_) return nullptr;
    // malloc(0) may return null; Windows hands out a distinct block.
    void* block = zero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (block == nullptr) return nullptr;
    blocks_.emplace(block, bytes);
    in_use_ += bytes;
    return block;
  }

  bool release(void* block) {
    std::lock_guard lock(mutex_);
    auto it = blocks_.find(block);
    if (it == blocks_.end()) return false;
    in_use_ -= it->second;
    blocks_.erase(it);
    std::free(block);
    return true;
  }

 private:
  const SIZE_T maximum_;
  std::mutex mutex_;
  SIZE_T in_use_ = 0;                         // guarded by mutex_
  std::unordered_map<void*, SIZE_T> blocks_;  // guarded by mutex_
};

}  // namespace
}  // namespace trv::platform

using namespace trv::platform;

HANDLE HeapCreate(DWORD /*options*/, SIZE_T initial_size, SIZE_T maximum_size) {
  if (fail_if_injected("HeapCreate")) return nullptr;
  if (maximum_size != 0 && initial_size > maximum_size) {
    return fail(ERROR_INVALID_PARAMETER, nullptr);
  }
  return register_object(std::make_shared<Heap>(maximum_size));
}

LPVOID HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
  if (fail_if_injected("HeapAlloc")) return nullptr;
  auto heap = find<Heap>(handle);
  if (!heap) return fail(ERROR_INVALID_HANDLE, nullptr);
  void* block = heap->allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
  if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  return block;
}

BOOL HeapFree(HANDLE handle, DWORD /*flags*/, LPVOID memory) {
  if (fail_if_injected("HeapFree")) return FALSE;
  auto heap = find<Heap>(handle);
  if (!heap) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (memory == nullptr) return TRUE;
  if (!heap->release(memory)) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return TRUE;
}

BOOL HeapDestroy(HANDLE handle) {
  if (fail_if_injected("HeapDestroy")) return FALSE;
  if (!unregister_heap(handle)) return fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
