// DiskIo by the system calls themselves, nothing added.
#include <fcntl.h>

#include <cerrno>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/page_cache.h"
#include "server/disk_io.h"

namespace {

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
    // RWF_NOWAIT alone would start the read-ahead of what is missing.
    if (length > 0) {
      length = trv::platform::cached_prefix(fd, static_cast<std::uint64_t>(offset), length);
    }
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
