// See large_buffer.h: on Windows, the aligned operator new.
#include "dcerpc/large_buffer.h"

#include <new>

namespace rpc {

std::uint8_t* allocate_large(std::size_t size) {
  return static_cast<std::uint8_t*>(
      ::operator new (size, std::align_val_t{kLargeBufferAlignment}, std::nothrow));
}

void free_large(std::uint8_t* memory, std::size_t) {
  if (memory != nullptr) ::operator delete (memory, std::align_val_t{kLargeBufferAlignment});
}

}  // namespace rpc
