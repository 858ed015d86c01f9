#include "dcerpc/system_random.h"

#include <sys/random.h>

#include <cerrno>

namespace rpc {

Status system_random(void* data, std::size_t size) {
  auto* out = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::failure(status::kOutOfResources, "getrandom failed", errno);
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return Status::ok();
}

}  // namespace rpc
