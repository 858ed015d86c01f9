// The disk store: opening and closing the served disks and their sessions
// (the replicate and compare calls are in disk_data.cc).
// Lock order: a Disk's mutex, then its Session's flush gate, its probe
// mutex or its digest map's (one of them), or the SharedFile it shares with
// another disk. I/O on a disk's data happens outside them, except the 1-byte
// read of the probe, which holds the probe mutex so that no write over that
// byte starts meanwhile, and the start of a session, which holds the disk's
// mutex. A close releases that mutex while it waits for the calls in progress and
// flushes, with the disk marked closing, so that a disk never has two
// sessions at once (a new one must not start while the last one's writes
// may still land). The descriptors are opened once at start and shared by
// the disk's sessions, one after another. Each connection thread keeps its
// own direct-write buffer (and, in disk_read.cc, its own read buffer);
// nothing is allocated per call on the way of a chunk that succeeds.
#include "server/disk_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "digest/digest.h"
#include "server/aligned_memory.h"
#include "server/disk_read.h"
#include "server/disk_session.h"
#include "server/disk_store_internal.h"
#include "server/flush_gate.h"
#include "server/privileges.h"
#include "service/server_result.h"

DiskStore::DiskStore(std::vector<DiskConfig> disks, LogSink log, HashCombiner& hasher, DiskIo& io)
    : log_(std::move(log)), hasher_(hasher), io_(io) {
  for (auto& config : disks) {
    auto disk = std::make_unique<Disk>();
    disk->config = std::move(config);
    disks_.push_back(std::move(disk));
  }
}

DiskStore::~DiskStore() {
  (void)close_all();
  report_suppressed(true);
  for (auto& disk : disks_) {
    if (disk->direct_fd >= 0) io_.close(disk->direct_fd);
    if (disk->fd >= 0) io_.close(disk->fd);
  }
}

Status DiskStore::open_disks() {
  // Writable disks first, so that a verify disk of the same file finds the
  // one whose claim or lock it shares.
  for (const bool read_only : {false, true}) {
    for (auto& disk : disks_) {
      if (disk->fd >= 0 || disk->config.read_only != read_only) continue;
      if (Status status = open_disk(*disk); !status.is_ok()) {
        disk->open_error = status.message();
        return Status::failure(OpenFailed, "disk " + std::to_string(disk->config.number) + " (" +
                                               disk->config.path + "): " + status.message());
      }
    }
  }
  return Status::ok();
}

Status DiskStore::check_paths() {
  for (auto& disk : disks_) {
    if (disk->fd < 0) continue;
    struct stat named;
    std::string problem;
    if (io_.stat(disk->config.path.c_str(), &named) != 0) {
      problem = describe_errno("cannot be looked up: stat", errno);
    } else if (named.st_dev != disk->dev || named.st_ino != disk->ino) {
      problem = "no longer names the file opened";
    }
    if (!problem.empty()) {
      return Status::failure(OpenFailed, "disk " + std::to_string(disk->config.number) + " (" +
                                             disk->config.path + "): " + problem);
    }
  }
  return Status::ok();
}

Status DiskStore::open_disk(Disk& disk) {
  const std::string& path = disk.config.path;
  const bool read_only = disk.config.read_only;
  struct stat named;
  if (io_.stat(path.c_str(), &named) != 0) return Status::failure(OpenFailed, std::strerror(errno));
  if (S_ISDIR(named.st_mode)) {
    return Status::failure(OpenFailed, "is a directory, not a block device or a regular file");
  }
  if (!S_ISBLK(named.st_mode) && !S_ISREG(named.st_mode)) {
    return Status::failure(OpenFailed, "is neither a block device nor a regular file");
  }
  // A verify disk may serve the file of a writable disk, the two taking
  // turns (Disk::shared): the writable one's claim or lock keeps others away
  // from both, and a claim or lock of its own would be refused.
  Disk* partner = nullptr;
  for (const auto& other : disks_) {
    if (read_only && other->fd >= 0 && !other->config.read_only && !other->shared &&
        other->dev == named.st_dev && other->ino == named.st_ino && other->rdev == named.st_rdev) {
      partner = other.get();
    }
  }
  // A block device is opened exclusively: the kernel then refuses it while
  // it is mounted or claimed by anyone else, and keeps it ours while we run.
  int flags = (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  if (S_ISBLK(named.st_mode) && partner == nullptr) flags |= O_EXCL;
  const int fd = io_.open(path.c_str(), flags);
  if (fd < 0) {
    const int error = errno;
    if (error == EBUSY && S_ISBLK(named.st_mode)) {
      return Status::failure(
          OpenFailed, "mounted or in use (" + describe_errno("open with O_EXCL", error) + ")");
    }
    std::string why =
        describe_errno(read_only ? "open for reading" : "open for reading and writing", error);
    if (error == EACCES || error == EPERM) {
      why += std::string("; it must be ") + (read_only ? "readable" : "readable and writable") +
             " by user " + effective_user_name() + " (see trvs(8))";
    }
    return Status::failure(OpenFailed, why);
  }
  struct stat st;
  std::int64_t size = 0;
  Status status = Status::ok();
  const auto same_as = [&st, partner, this]() -> const Disk* {
    for (const auto& other : disks_) {
      if (other.get() != partner && other->fd >= 0 && other->dev == st.st_dev &&
          other->ino == st.st_ino && other->rdev == st.st_rdev) {
        return other.get();
      }
    }
    return nullptr;
  };
  if (io_.fstat(fd, &st) != 0) {
    status = Status::failure(OpenFailed, describe_errno("fstat", errno));
  } else if (const Disk* other = same_as()) {
    status = Status::failure(OpenFailed,
                             "is the same file as disk " + std::to_string(other->config.number));
  } else if (partner && (st.st_dev != partner->dev || st.st_ino != partner->ino)) {
    status = Status::failure(OpenFailed, "was replaced while trvs started");
  } else if (S_ISBLK(st.st_mode)) {
    std::uint64_t bytes = 0;
    int sector = 0;
    if (io_.device_size(fd, &bytes) != 0) {
      status = Status::failure(OpenFailed, describe_errno("ioctl BLKGETSIZE64", errno));
    } else if (io_.logical_block_size(fd, &sector) != 0) {
      status = Status::failure(OpenFailed, describe_errno("ioctl BLKSSZGET", errno));
    } else if (bytes == 0) {
      status = Status::failure(OpenFailed, "block device of 0 bytes (no medium?)");
    } else {
      disk.block_device = true;
      disk.block = static_cast<std::size_t>(sector);
      size = static_cast<std::int64_t>(bytes);
    }
  } else if (S_ISREG(st.st_mode)) {
    size = st.st_size;
    // Two servers writing one image would interleave their chunks; the lock
    // keeps a second trvs (or anything else that locks) away for as long as
    // this one runs. A verifying server shares its lock with other readers.
    struct statvfs fs;
    if (!partner && io_.flock(fd, (read_only ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
      status = Status::failure(OpenFailed, errno == EWOULDBLOCK
                                               ? "image file is locked by another process"
                                               : describe_errno("flock", errno));
    } else if (disk.config.fixed_size && size == 0 && !read_only) {
      status = Status::failure(OpenFailed, "fixed-size image of 0 bytes, which can hold nothing");
    } else if (disk.config.max_size > 0) {
      disk.max_size = std::max(disk.config.max_size, size);
    } else if (io_.fstatvfs(fd, &fs) != 0) {
      status = Status::failure(OpenFailed, describe_errno("fstatvfs", errno));
    } else {
      // An image larger than its file system could never be written whole;
      // a chunk far out would only make a huge sparse file.
      const auto fs_bytes = static_cast<std::int64_t>(
          std::min<std::uint64_t>(static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize,
                                  static_cast<std::uint64_t>(kDefaultMaxImageSize)));
      disk.max_size = std::max(fs_bytes, size);
    }
  } else {
    status = Status::failure(OpenFailed, "is neither a block device nor a regular file");
  }
  // It must be readable, not only openable (a failing device, a file on a
  // vanished network share).
  std::uint8_t byte = 0;
  if (status.is_ok() && size > 0 && io_.pread(fd, &byte, 1, 0) < 0) {
    status = Status::failure(OpenFailed, describe_errno("cannot be read: pread", errno));
  }
  // A map vouches for an image only while nothing but trvs writes it: a
  // block device can be written through other names without a trace, and a
  // verify disk is served to be read.
  if (status.is_ok() && !disk.config.digest_map_dir.empty()) {
    if (disk.block_device || read_only) {
      log(digest_map_event(disk.config.number,
                           std::string("no digest map for ") +
                               (disk.block_device ? "a block device"
                                                  : "a disk served with --verify-disk") +
                               "; every compare reads the disk",
                           kPriorityNotice));
    } else {
      disk.map =
          std::make_unique<DigestMap>(disk.config.number, disk.config.digest_map_dir, st.st_dev,
                                      st.st_ino, [this](const Event& event) { log(event); });
      status = disk.map->open_folder();
      if (!status.is_ok()) disk.map.reset();
    }
  }
  if (!status.is_ok()) {
    io_.close(fd);
    return status;
  }
  if (partner) {
    disk.shared = std::make_shared<Disk::SharedFile>();
    partner->shared = disk.shared;
  }
  disk.fd = fd;
  disk.dev = st.st_dev;
  disk.ino = st.st_ino;
  disk.rdev = st.st_rdev;
  // Tried now, while trvs may still open what only root can; a refusal is
  // logged by the open_device that finds it, which tries again.
  std::string why;
  if (!read_only) (void)open_direct(disk, &why);
  return Status::ok();
}

DiskStore::Disk* DiskStore::find(std::int16_t number) {
  for (auto& disk : disks_) {
    if (disk->config.number == number) return disk.get();
  }
  return nullptr;
}

void DiskStore::log(const Event& event) const {
  if (log_) log_(event);
}

std::int32_t DiskStore::fail(const char* procedure, const Caller& caller, std::int16_t dest,
                             std::optional<std::int64_t> offset, const Status& status,
                             Session* session) {
  if (session) session->failures.fetch_add(1, std::memory_order_relaxed);
  log_from(caller.peer,
           failure_event(status.code(), procedure, dest, caller.group, offset, status.message()));
  return status.code();
}

void DiskStore::log_from(const std::string& peer, const Event& event) {
  if (peer.empty()) {
    log(event);
    return;
  }
  const LineBudget::Verdict verdict = limiter_.admit(peer, now_());
  if (verdict.suppressed_before > 0) {
    log(failures_suppressed_event(peer, verdict.suppressed_before));
  }
  if (verdict.write) log(event);
  if (verdict.starts_suppressing) {
    log(failures_suppressing_event(peer, static_cast<int>(kFailureLinesPerInterval),
                                   static_cast<long long>(kFailureInterval.count())));
  }
}

void DiskStore::report_suppressed(bool all) {
  for (const auto& suppressed : limiter_.expire(now_(), all)) {
    log(failures_suppressed_event(suppressed.key, suppressed.count));
  }
}

std::optional<std::int32_t> DiskStore::open_device(const Caller& caller, std::int16_t dest) {
  return guarded("open_device", caller, dest, [&] { return do_open_device(caller, dest); });
}

std::optional<std::int32_t> DiskStore::do_open_device(const Caller& caller, std::int16_t dest) {
  const std::uint32_t group = caller.group;
  Disk* disk = find(dest);
  if (!disk) {
    return fail("open_device", caller, dest, {}, Status::failure(UnknownDisk, "no such disk"),
                nullptr);
  }
  std::unique_lock lock(disk->mutex);
  // The last open's writes may still be landing: a session started now
  // could have its chunks overwritten by them.
  if (disk->closing && !disk->closed.wait_for(lock, close_wait_, [&] { return !disk->closing; })) {
    const std::string owner = std::to_string(disk->closing_group);
    lock.unlock();
    return fail("open_device", caller, dest, {},
                Status::failure(Busy, "disk is still being closed for group " + owner +
                                          " (its calls in progress or its flush)"),
                nullptr);
  }
  if (disk->session) {
    if (disk->session->group == group) {
      lock.unlock();
      log_from(caller.peer, disk_already_open_event(dest, group));
      return Opened;
    }
    const std::string owner = std::to_string(disk->session->group);
    lock.unlock();
    return fail("open_device", caller, dest, {},
                Status::failure(Busy, "disk is open by group " + owner), nullptr);
  }
  std::int16_t holding_disk = 0;
  std::uint32_t holding_group = 0;
  if (!disk->take_file(group, &holding_disk, &holding_group)) {
    lock.unlock();
    return fail("open_device", caller, dest, {},
                Status::failure(Busy, "disk " + std::to_string(holding_disk) +
                                          ", the same file, is open by group " +
                                          std::to_string(holding_group)),
                nullptr);
  }
  if (Status status = open_session(*disk, group); !status.is_ok()) {
    disk->release_file();
    lock.unlock();
    return fail("open_device", caller, dest, {}, status, nullptr);
  }
  return Opened;
}

Status DiskStore::open_session(Disk& disk, std::uint32_t group) {
  const std::string& path = disk.config.path;
  if (disk.fd < 0) {
    return Status::failure(
        OpenFailed, disk.open_error.empty() ? "disk was not opened at start" : disk.open_error);
  }
  // The descriptor is the file the path named at start. Writing to it after
  // the path was given to another file would put the run where nobody looks.
  struct stat named;
  if (io_.stat(path.c_str(), &named) != 0 || named.st_dev != disk.dev || named.st_ino != disk.ino ||
      (disk.block_device && named.st_rdev != disk.rdev)) {
    return Status::failure(OpenFailed, path +
                                           " no longer names the file trvs opened at start "
                                           "(removed or replaced); restart trvs to serve it");
  }
  auto session = std::make_shared<Session>();
  session->fd = disk.fd;
  session->disk = disk.config.number;
  session->group = group;
  session->path = path;
  session->read_only = disk.config.read_only;
  session->block_device = disk.block_device;
  session->block = disk.block;
  session->dev = disk.dev;
  session->ino = disk.ino;
  session->rdev = disk.rdev;
  std::string kind;
  ImageStamp stamp;
  if (disk.block_device) {
    // Taken anew: the device may have been resized since the start.
    std::uint64_t bytes = 0;
    if (io_.device_size(disk.fd, &bytes) != 0) {
      return Status::failure(OpenFailed, describe_errno("ioctl BLKGETSIZE64", errno));
    }
    session->fixed = true;
    session->size = static_cast<std::int64_t>(bytes);
    kind = "block device of " + std::to_string(bytes) + " bytes";
  } else {
    struct stat st;
    if (io_.fstat(disk.fd, &st) != 0) {
      return Status::failure(OpenFailed, describe_errno("fstat", errno));
    }
    // A verify disk is never written, so it cannot grow to meet a longer
    // range: like a fixed-size one, its bytes past the end count as zero.
    session->fixed = disk.config.fixed_size || session->read_only;
    session->size = st.st_size;
    session->max_size = std::max<std::int64_t>(disk.max_size, st.st_size);
    stamp = ImageStamp::of(st);
    kind = "image file of " + std::to_string(st.st_size) + " bytes";
    if (session->read_only) {
      kind += ", read-only, bytes past its end compare as zero";
    } else if (session->fixed) {
      kind += ", fixed size";
    } else {
      kind += ", grows as needed up to " + std::to_string(session->max_size) + " bytes";
    }
  }
  if (session->read_only && disk.block_device) kind += ", read-only";
  log(disk_opened_event(disk.config.number, group, path, kind));
  if (disk.map) {
    // Chunks past where the image may reach are never kept.
    const auto bound =
        static_cast<std::uint64_t>(session->fixed ? session->size : session->max_size);
    disk.map->begin(stamp, (bound + kChunkLength - 1) / kChunkLength);
    session->map = disk.map.get();
  }
  if (!session->read_only) {
    std::string why;
    if (disk.direct_fd < 0 && !open_direct(disk, &why)) {
      log(disk_notice_event(disk.config.number,
                            "no direct I/O (" + why + "), writing through the page cache"));
    }
    session->direct_fd = disk.direct_fd;
    session->direct = disk.direct_fd >= 0;
  }
  disk.session = std::move(session);
  return Status::ok();
}

bool DiskStore::open_direct(Disk& disk, std::string* why) {
  // The aligned buffer serves blocks up to its own alignment.
  if (disk.block == 0 || disk.block > kDirectMemoryAlignment || kDirectPiece % disk.block != 0) {
    *why = "logical block size " + std::to_string(disk.block) + " unsuitable for direct I/O";
    return false;
  }
  // Without O_EXCL: the first descriptor holds the block device's claim,
  // and a second exclusive open by the same process would be refused.
  const int fd = io_.open(disk.config.path.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
  struct stat direct;
  if (fd < 0) {
    *why = describe_errno("open with O_DIRECT", errno);
    return false;
  }
  if (io_.fstat(fd, &direct) != 0 || direct.st_dev != disk.dev || direct.st_ino != disk.ino ||
      direct.st_rdev != disk.rdev) {
    *why = "the path no longer names the file opened";
    io_.close(fd);
    return false;
  }
  disk.direct_fd = fd;
  return true;
}

std::optional<std::int32_t> DiskStore::close_device(const Caller& caller, std::int16_t dest) {
  return guarded("close_device", caller, dest, [&] { return do_close_device(caller, dest); });
}

std::optional<std::int32_t> DiskStore::do_close_device(const Caller& caller, std::int16_t dest) {
  const std::uint32_t group = caller.group;
  Disk* disk = find(dest);
  if (!disk) {
    return fail("close_device", caller, dest, {}, Status::failure(UnknownDisk, "no such disk"),
                nullptr);
  }
  std::unique_lock lock(disk->mutex);
  if (!disk->session || disk->session->group != group) {
    const std::string why = disk->session
                                ? "disk is open by group " + std::to_string(disk->session->group)
                                : std::string("disk is not open");
    lock.unlock();
    return fail("close_device", caller, dest, {}, Status::failure(NotOpen, why), nullptr);
  }
  if (Status status = close_session(*disk, lock, "close_device"); !status.is_ok()) {
    lock.unlock();
    // Ends an open, so it comes at most once per open: never held back, it
    // tells what became of a run.
    return fail("close_device", Caller{group, {}}, dest, {}, status, nullptr);
  }
  return Closed;
}

void DiskStore::group_ended(std::uint32_t group) {
  // The runtime takes no answer here: a failure is only logged.
  for (auto& disk : disks_) {
    const std::int16_t number = disk->config.number;
    (void)guarded(
        "close at connection end", Caller{group, {}}, number, [&]() -> std::optional<std::int32_t> {
          std::unique_lock lock(disk->mutex);
          if (!disk->session || disk->session->group != group) return Closed;
          Status status = close_session(*disk, lock, "connection ended");
          if (status.is_ok()) return Closed;
          lock.unlock();
          return fail("close at connection end", Caller{group, {}}, number, {}, status, nullptr);
        });
  }
}

bool DiskStore::close_all() {
  bool all_flushed = true;
  for (auto& disk : disks_) {
    std::unique_lock lock(disk->mutex);
    // A close under way ends first (its own caller reports it): the
    // descriptors may be closed once this returns.
    disk->closed.wait(lock, [&] { return !disk->closing; });
    if (!disk->session) continue;
    const std::uint32_t group = disk->session->group;
    if (Status status = close_session(*disk, lock, "shutdown"); !status.is_ok()) {
      all_flushed = false;
      lock.unlock();
      (void)fail("close at shutdown", Caller{group, {}}, disk->config.number, {}, status, nullptr);
    }
  }
  return all_flushed;
}

Status DiskStore::close_session(Disk& disk, std::unique_lock<std::mutex>& lock, const char* why) {
  std::shared_ptr<Session> session = std::move(disk.session);
  // No new open until this one has ended, however it ends; the disk's lock
  // is held again for the end.
  struct Ending {
    Disk& disk;
    std::unique_lock<std::mutex>& lock;
    ~Ending() {
      if (!lock.owns_lock()) lock.lock();
      disk.release_file();
      disk.closing = false;
      disk.closed.notify_all();
    }
  } ending{disk, lock};
  disk.closing = true;
  disk.closing_group = session->group;
  disk.idle.wait(lock, [&] { return session->active == 0; });

  // Every call has left, so nobody else touches the flush state now, and
  // the disk's lock need not be held through a flush that may be slow (an
  // open_device waits on `closed` meanwhile, the calls find no session).
  // The descriptors stay with the disk for the next open. The direct one
  // holds no dirty data of its own: the flush, on the other descriptor,
  // covers the file's every write.
  lock.unlock();
  Status status = Status::ok();
  if (Status failed = session->flushes.status(); !failed.is_ok()) {
    status = std::move(failed);
  } else if (!session->read_only && io_.fdatasync(session->fd) != 0) {
    status = write_failure(FlushFailed, "fdatasync", errno);
  } else if (std::string found = find_change(*session); !found.empty()) {
    status = lose(*session, std::move(found));
  }
  if (session->map) end_map(*session, status);
  lock.lock();
  const auto count = [](const std::atomic<std::uint64_t>& value) {
    return value.load(std::memory_order_relaxed);
  };
  OpenCounts counts;
  counts.replicated = count(session->chunks_replicated);
  counts.bytes_written = count(session->bytes_written);
  counts.identical = count(session->identical);
  counts.different = count(session->different);
  counts.failures = count(session->failures);
  log(disk_closed_event(disk.config.number, session->group, why, counts, status.code()));
  return status;
}

void DiskStore::end_map(Session& session, const Status& status) {
  if (!status.is_ok()) {
    session.map->discard("the close failed: " + status.message());
    return;
  }
  // Taken after the flush: what the next open finds must be what was
  // flushed, and the time of the last write.
  struct stat st;
  if (io_.fstat(session.fd, &st) != 0) {
    session.map->discard(describe_errno("cannot take the image's stamp: fstat", errno));
    return;
  }
  session.map->save(ImageStamp::of(st));
}
