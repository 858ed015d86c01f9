// DiskIo by the system calls themselves; pread_nowait first asks mincore
// how much of its range the page cache holds (see cached_prefix).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/disk_io.h"

namespace {

// How many bytes of the range, from its start, the page cache holds, found
// without reading anything: mincore on a mapping that is never touched.
// RWF_NOWAIT alone is no such test: a read that finds a page missing starts
// the kernel's read-ahead of it, so the cache would fill with the very pages
// a direct read is about to bring from the device (and copy them twice).
// When the kernel cannot tell (a file it will not map), the whole range.
std::size_t cached_prefix(int fd, std::size_t length, off_t offset) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t lead = static_cast<std::size_t>(offset) % page;
  const off_t start = offset - static_cast<off_t>(lead);
  void* map = ::mmap(nullptr, lead + length, PROT_READ, MAP_SHARED, fd, start);
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

class PosixDiskIo final : public DiskIo {
 public:
  int open(const char* path, int flags) override { return ::open(path, flags); }
  int close(int fd) override { return ::close(fd); }
  int stat(const char* path, struct stat* st) override { return ::stat(path, st); }
  int fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int fstatvfs(int fd, struct statvfs* fs) override { return ::fstatvfs(fd, fs); }
  int flock(int fd, int operation) override { return ::flock(fd, operation); }
  int device_size(int fd, std::uint64_t* bytes) override {
    return ::ioctl(fd, BLKGETSIZE64, bytes);
  }
  int logical_block_size(int fd, int* bytes) override { return ::ioctl(fd, BLKSSZGET, bytes); }
  ssize_t pread(int fd, void* data, std::size_t length, off_t offset) override {
    return ::pread(fd, data, length, offset);
  }
  ssize_t pread_nowait(int fd, void* data, std::size_t length, off_t offset) override {
    if (length > 0) length = cached_prefix(fd, length, offset);
    if (length == 0) {
      // Nothing cached, or nothing there: a file's end reads as its end.
      struct stat st;
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && offset >= st.st_size) return 0;
      errno = EAGAIN;
      return -1;
    }
    iovec vector{data, length};
    return ::preadv2(fd, &vector, 1, offset, RWF_NOWAIT);
  }
  ssize_t pwrite(int fd, const void* data, std::size_t length, off_t offset) override {
    return ::pwrite(fd, data, length, offset);
  }
  int punch_hole(int fd, off_t offset, off_t length) override {
    return ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length);
  }
  int allocate(int fd, off_t offset, off_t length) override {
    return ::fallocate(fd, 0, offset, length);
  }
  int ftruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
  int zero_out(int fd, std::uint64_t offset, std::uint64_t length) override {
    std::uint64_t range[2] = {offset, length};
    return ::ioctl(fd, BLKZEROOUT, range);
  }
  int fdatasync(int fd) override { return ::fdatasync(fd); }
  int drop_cached(int fd, off_t offset, off_t length) override {
    const int error = ::posix_fadvise(fd, offset, length, POSIX_FADV_DONTNEED);
    if (error == 0) return 0;
    errno = error;
    return -1;
  }
};

}  // namespace

DiskIo& posix_disk_io() {
  static PosixDiskIo io;
  return io;
}
