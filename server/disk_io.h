// The system calls the disk store makes on the files and devices it serves,
// behind one narrow interface, so that tests can fail any of them (see
// disk_io_fake.h). Each call is the POSIX call of the same name: it returns
// what that call returns, and -1 with errno set on failure. Implementations
// are called from any thread, concurrently, and keep no state of their own
// between calls beyond what tests ask for.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class DiskIo {
 public:
  virtual ~DiskIo() = default;

  virtual int open(const char* path, int flags) = 0;
  virtual int close(int fd) = 0;
  virtual int stat(const char* path, struct stat* st) = 0;
  virtual int fstat(int fd, struct stat* st) = 0;
  virtual int fstatvfs(int fd, struct statvfs* fs) = 0;
  virtual int flock(int fd, int operation) = 0;
  // ioctl BLKGETSIZE64: a block device's length in bytes.
  virtual int device_size(int fd, std::uint64_t* bytes) = 0;
  // ioctl BLKSSZGET: a block device's logical block size.
  virtual int logical_block_size(int fd, int* bytes) = 0;
  virtual ssize_t pread(int fd, void* data, std::size_t length, off_t offset) = 0;
  // preadv2 with RWF_NOWAIT: what the page cache holds of the range, without
  // waiting for the device and without bringing in what it lacks; -1 with
  // EAGAIN when not even its first byte is there (and EOPNOTSUPP where the
  // file system cannot tell).
  virtual ssize_t pread_nowait(int fd, void* data, std::size_t length, off_t offset) = 0;
  virtual ssize_t pwrite(int fd, const void* data, std::size_t length, off_t offset) = 0;
  // fallocate with FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE: the range
  // reads as zeros and holds no blocks; the file keeps its length.
  virtual int punch_hole(int fd, off_t offset, off_t length) = 0;
  // fallocate with mode 0: the range holds blocks (reading as zeros where
  // nothing was written) and the file grows to its end if shorter.
  virtual int allocate(int fd, off_t offset, off_t length) = 0;
  virtual int ftruncate(int fd, off_t length) = 0;
  // ioctl BLKZEROOUT: a block device zeroes the range itself (offset and
  // length multiples of its logical block size).
  virtual int zero_out(int fd, std::uint64_t offset, std::uint64_t length) = 0;
  virtual int fdatasync(int fd) = 0;
  // posix_fadvise with POSIX_FADV_DONTNEED: the page cache lets go of the
  // range's clean pages (0, or -1 with errno set).
  virtual int drop_cached(int fd, off_t offset, off_t length) = 0;
};

// The system's calls. One object for the process; any thread.
DiskIo& posix_disk_io();
