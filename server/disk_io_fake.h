// A DiskIo for tests: performs every call through a real one (the system's,
// unless told otherwise), counts the calls, and fails the ones a test names,
// with a chosen errno, on the Nth matching call or from the Nth on, for every
// descriptor or only for one path or kind of open. It also keeps every
// pwrite (with the memory it was given and whether its descriptor is an
// O_DIRECT one), can cut reads and writes short or skip flushes, and lets a test run code before
// any call (to hold a flush, say). Test code only; every member may be called from any thread.
#pragma once

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "server/disk_io.h"

namespace trvs_testing {

enum class DiskCall {
  Open,
  Close,
  Stat,
  Fstat,
  Fstatvfs,
  Flock,
  DeviceSize,
  LogicalBlockSize,
  Pread,
  PreadNowait,
  Pwrite,
  PunchHole,
  Allocate,
  Ftruncate,
  ZeroOut,
  Fdatasync,
  DropCached,
};
inline constexpr std::size_t kDiskCalls = static_cast<std::size_t>(DiskCall::DropCached) + 1;

// Which calls fail, and how.
struct DiskFault {
  DiskCall call = DiskCall::Open;
  int error = EIO;
  // The first matching call to fail, counted from 1 once the fault is set.
  int nth = 1;
  // Every matching call from the Nth on, not only the Nth.
  bool onwards = false;
  // Only calls on this path (open, stat) or on a descriptor opened from it;
  // empty = any.
  std::string path;
  // Only opens with all these flags, or calls on descriptors so opened
  // (O_DIRECT: the direct side); 0 = any.
  int flags = 0;
};

// One pwrite as it was asked for.
struct DiskWrite {
  int fd;
  const void* data;
  std::size_t length;
  std::int64_t offset;
  bool direct;  // the descriptor was opened with O_DIRECT
};

class FakeDiskIo final : public DiskIo {
 public:
  explicit FakeDiskIo(DiskIo& real = posix_disk_io()) : real_(real) {}

  void fail(DiskFault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back({std::move(fault), 0});
  }
  // Fails the Nth call of `call` (and with `onwards` every later one too).
  void fail(DiskCall call, int error, int nth = 1, bool onwards = false) {
    fail(DiskFault{call, error, nth, onwards, {}, 0});
  }
  void clear_faults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
  }
  // Every pwrite writes at most this many bytes (a short write); 0 = all.
  void limit_writes(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    write_limit_ = bytes;
  }
  // Every pread (and pread_nowait) reads at most this many bytes (a short read); 0 = all.
  void limit_reads(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    read_limit_ = bytes;
  }
  // fdatasync succeeds without flushing (for tests that make many writes
  // and do not care whether they reach stable storage).
  void skip_flushes() {
    std::lock_guard lock(mutex_);
    skip_flushes_ = true;
  }
  // Runs before each call, outside the fake's lock; a non-zero result fails
  // the call with that errno. Set it before the store is used.
  std::function<int(DiskCall call, int fd)> before;

  // Calls made so far, failed ones included.
  int calls(DiskCall call) const {
    std::lock_guard lock(mutex_);
    return counts_[index(call)];
  }
  std::vector<DiskWrite> writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  std::vector<DiskWrite> direct_writes() const {
    std::lock_guard lock(mutex_);
    std::vector<DiskWrite> direct;
    for (const DiskWrite& write : writes_) {
      if (write.direct) direct.push_back(write);
    }
    return direct;
  }

  int open(const char* path, int flags) override {
    if (refused(DiskCall::Open, -1, path, flags)) return -1;
    const int fd = real_.open(path, flags);
    if (fd >= 0) {
      std::lock_guard lock(mutex_);
      opened_[fd] = {path, flags};
    }
    return fd;
  }
  int close(int fd) override {
    if (refused(DiskCall::Close, fd)) return -1;
    {
      std::lock_guard lock(mutex_);
      opened_.erase(fd);
    }
    return real_.close(fd);
  }
  int stat(const char* path, struct stat* st) override {
    return refused(DiskCall::Stat, -1, path) ? -1 : real_.stat(path, st);
  }
  int fstat(int fd, struct stat* st) override {
    return refused(DiskCall::Fstat, fd) ? -1 : real_.fstat(fd, st);
  }
  int fstatvfs(int fd, struct statvfs* fs) override {
    return refused(DiskCall::Fstatvfs, fd) ? -1 : real_.fstatvfs(fd, fs);
  }
  int flock(int fd, int operation) override {
    return refused(DiskCall::Flock, fd) ? -1 : real_.flock(fd, operation);
  }
  int device_size(int fd, std::uint64_t* bytes) override {
    return refused(DiskCall::DeviceSize, fd) ? -1 : real_.device_size(fd, bytes);
  }
  int logical_block_size(int fd, int* bytes) override {
    return refused(DiskCall::LogicalBlockSize, fd) ? -1 : real_.logical_block_size(fd, bytes);
  }
  ssize_t pread(int fd, void* data, std::size_t length, off_t offset) override {
    {
      std::lock_guard lock(mutex_);
      if (read_limit_ > 0 && length > read_limit_) length = read_limit_;
    }
    return refused(DiskCall::Pread, fd) ? -1 : real_.pread(fd, data, length, offset);
  }
  ssize_t pread_nowait(int fd, void* data, std::size_t length, off_t offset) override {
    {
      std::lock_guard lock(mutex_);
      if (read_limit_ > 0 && length > read_limit_) length = read_limit_;
    }
    return refused(DiskCall::PreadNowait, fd) ? -1 : real_.pread_nowait(fd, data, length, offset);
  }
  ssize_t pwrite(int fd, const void* data, std::size_t length, off_t offset) override {
    {
      std::lock_guard lock(mutex_);
      const auto it = opened_.find(fd);
      const bool direct = it != opened_.end() && (it->second.flags & O_DIRECT) != 0;
      writes_.push_back({fd, data, length, offset, direct});
      if (write_limit_ > 0 && length > write_limit_) length = write_limit_;
    }
    return refused(DiskCall::Pwrite, fd) ? -1 : real_.pwrite(fd, data, length, offset);
  }
  int punch_hole(int fd, off_t offset, off_t length) override {
    return refused(DiskCall::PunchHole, fd) ? -1 : real_.punch_hole(fd, offset, length);
  }
  int allocate(int fd, off_t offset, off_t length) override {
    return refused(DiskCall::Allocate, fd) ? -1 : real_.allocate(fd, offset, length);
  }
  int ftruncate(int fd, off_t length) override {
    return refused(DiskCall::Ftruncate, fd) ? -1 : real_.ftruncate(fd, length);
  }
  int zero_out(int fd, std::uint64_t offset, std::uint64_t length) override {
    return refused(DiskCall::ZeroOut, fd) ? -1 : real_.zero_out(fd, offset, length);
  }
  int fdatasync(int fd) override {
    if (refused(DiskCall::Fdatasync, fd)) return -1;
    {
      std::lock_guard lock(mutex_);
      if (skip_flushes_) return 0;
    }
    return real_.fdatasync(fd);
  }
  int drop_cached(int fd, off_t offset, off_t length) override {
    return refused(DiskCall::DropCached, fd) ? -1 : real_.drop_cached(fd, offset, length);
  }

 private:
  struct Opened {
    std::string path;
    int flags = 0;
  };
  struct Armed {
    DiskFault fault;
    int seen = 0;  // matching calls since it was set
  };

  static std::size_t index(DiskCall call) { return static_cast<std::size_t>(call); }

  // Counts the call and decides whether it fails; when it does, errno is set.
  bool refused(DiskCall call, int fd, const char* path = nullptr, int flags = 0) {
    int error = 0;
    {
      std::lock_guard lock(mutex_);
      ++counts_[index(call)];
      std::string named = path ? path : "";
      if (fd >= 0) {
        if (const auto it = opened_.find(fd); it != opened_.end()) {
          named = it->second.path;
          flags = it->second.flags;
        }
      }
      for (Armed& armed : faults_) {
        const DiskFault& fault = armed.fault;
        if (fault.call != call) continue;
        if (!fault.path.empty() && fault.path != named) continue;
        if ((flags & fault.flags) != fault.flags) continue;
        ++armed.seen;
        if (armed.seen == fault.nth || (fault.onwards && armed.seen > fault.nth)) {
          error = fault.error;
        }
      }
    }
    if (error == 0 && before) error = before(call, fd);
    if (error == 0) return false;
    errno = error;
    return true;
  }

  DiskIo& real_;
  mutable std::mutex mutex_;
  std::array<int, kDiskCalls> counts_{};
  std::vector<Armed> faults_;
  std::map<int, Opened> opened_;
  std::vector<DiskWrite> writes_;
  std::size_t write_limit_ = 0;
  std::size_t read_limit_ = 0;
  bool skip_flushes_ = false;
};

}  // namespace trvs_testing
