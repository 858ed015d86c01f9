// See large_buffer.h: on Linux, anonymous maps offered to huge pages.
#include "dcerpc/large_buffer.h"

#include <sys/mman.h>

namespace rpc {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t whole_pages(std::size_t size) {
  return (size + kLargeBufferAlignment - 1) / kLargeBufferAlignment * kLargeBufferAlignment;
}

}  // namespace

std::uint8_t* allocate_large(std::size_t size) {
  if (size == 0) size = 1;
  const std::size_t length = whole_pages(size);
  if (length < size) return nullptr;  // wrapped
  // Mapped with room to spare, then cut to the 2 MiB boundary inside.
  const std::size_t mapped = length + kHugePage;
  if (mapped < length) return nullptr;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto* start = static_cast<std::uint8_t*>(raw);
  const auto address = reinterpret_cast<std::uintptr_t>(start);
  const std::size_t lead = (kHugePage - address % kHugePage) % kHugePage;
  if (lead != 0) ::munmap(start, lead);
  if (mapped - lead - length != 0) ::munmap(start + lead + length, mapped - lead - length);
  // Advice only: without huge pages the buffer works the same.
  if (length >= kHugePage) ::madvise(start + lead, length, MADV_HUGEPAGE);
  return start + lead;
}

void free_large(std::uint8_t* memory, std::size_t size) {
  if (memory != nullptr) ::munmap(memory, whole_pages(size == 0 ? 1 : size));
}

}  // namespace rpc
