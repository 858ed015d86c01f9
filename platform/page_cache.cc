// See page_cache.h.
#include "platform/page_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace trv::platform {
namespace {

// Direct reads go through this much of the thread's buffer at a time.
constexpr std::size_t kDirectPiece = 1 << 20;
constexpr std::size_t kDirectAlignment = 4096;

struct FreeMemory {
  void operator()(void* memory) const { std::free(memory); }
};

// The calling thread's buffer for direct reads; null when it cannot be had.
std::uint8_t* direct_buffer() {
  thread_local std::unique_ptr<void, FreeMemory> buffer;
  if (!buffer) {
    void* memory = nullptr;
    if (::posix_memalign(&memory, kDirectAlignment, kDirectPiece) == 0) buffer.reset(memory);
  }
  return static_cast<std::uint8_t*>(buffer.get());
}

}  // namespace

std::size_t cached_prefix(int fd, std::uint64_t offset, std::size_t length) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  if (length == 0) return 0;
  const std::size_t lead = offset % page;
  void* map =
      ::mmap(nullptr, lead + length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset - lead));
  if (map == MAP_FAILED) return length;
  constexpr std::size_t kWindow = 256;  // pages asked about at once
  unsigned char resident[kWindow];
  const std::size_t pages = (lead + length + page - 1) / page;
  std::size_t held = 0;  // pages from the first one
  while (held < pages) {
    const std::size_t ask = std::min(kWindow, pages - held);
    if (::mincore(static_cast<char*>(map) + held * page, ask * page, resident) != 0) {
      held = pages;
      break;
    }
    std::size_t i = 0;
    while (i < ask && (resident[i] & 1) != 0) ++i;
    held += i;
    if (i < ask) break;
  }
  ::munmap(map, lead + length);
  // The first page holds `lead` bytes before the range.
  return held == 0 ? 0 : std::min(length, held * page - lead);
}

int open_direct_twin(int fd) {
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
}

std::size_t read_passing_cache(int fd, int direct_fd, std::size_t block, void* buffer,
                               std::size_t length, std::uint64_t offset, bool* refused,
                               int* error) {
  *refused = false;
  *error = 0;
  if (block == 0 || kDirectPiece % block != 0) {
    *refused = true;
    return 0;
  }
  std::uint8_t* bounce = direct_buffer();
  if (bounce == nullptr || offset % block != 0) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::size_t cached = cached_prefix(fd, offset, length) / block * block;
  std::size_t done = 0;
  while (done < cached) {
    const ssize_t n = ::pread(fd, out + done, cached - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      return done;
    }
    if (n == 0) return done;  // the end of the file
    done += static_cast<std::size_t>(n);
  }
  while (done < length) {
    // The last block may reach past what is wanted, never past the buffer.
    const std::size_t want = std::min(length - done, kDirectPiece);
    const std::size_t rounded = (want + block - 1) / block * block;
    const ssize_t n = ::pread(direct_fd, bounce, rounded, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL) {
        *refused = true;
      } else {
        *error = errno;
      }
      return done;
    }
    const std::size_t got = std::min(static_cast<std::size_t>(n), want);
    std::memcpy(out + done, bounce, got);
    done += got;
    // The end of the file, or a short read that leaves the position
    // unaligned: the caller goes on through the page cache.
    if (static_cast<std::size_t>(n) < rounded) return done;
  }
  return done;
}

}  // namespace trv::platform
