// Random bytes from the system's source (getrandom(2)), for values a peer
// must not be able to guess, such as association group ids. Any thread.
#pragma once

#include <cstddef>

#include "dcerpc/rpc_status.h"

namespace rpc {

// Fills `size` bytes. Blocks only while the kernel's pool is not yet
// initialised (early at boot). Fails with kOutOfResources and the errno when
// the system refuses.
[[nodiscard]] Status system_random(void* data, std::size_t size);

}  // namespace rpc
