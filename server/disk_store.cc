// The disk store: the sessions of the served disks, opened and closed by
// the clients' calls (the disks are opened at start in disk_open.cc, the
// replicate and compare calls are in disk_data.cc).
// Lock order: a Disk's mutex, then its Session's flush gate, its probe
// mutex or its digest map's (one of them), or the SharedFile it shares with
// another disk. I/O on a disk's data happens outside them, except the 1-byte
// read of the probe, which holds the probe mutex so that no write over that
// byte starts meanwhile, and the start of a session, which holds the disk's
// mutex. A close releases that mutex while it waits for the calls in
// progress and flushes, with the disk marked closing, so that a disk never has two
// sessions at once (a new one must not start while the last one's writes
// may still land). The descriptors are opened once at start and shared by
// the disk's sessions, one after another. Each connection thread keeps its
// own direct-write buffer (and, in disk_read.cc, its own read buffer);
// nothing is allocated per call on the way of a chunk that succeeds.
#include "server/disk_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <new>

#include "digest/digest.h"
#include "server/disk_read.h"
#include "server/disk_session.h"
#include "server/disk_store_internal.h"
#include "server/flush_gate.h"
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
  // Read as compares read (do_compare).
  ReadAhead::Source source;
  source.io = &io_;
  source.fd = session->fd;
  source.direct = DirectReads{session->direct ? session->direct_fd : -1, session->block};
  source.end = session->fixed ? session->size : std::numeric_limits<std::int64_t>::max();
  source.limit = session->size;
  source.counted = &hasher_;
  source.offer = [this, open = session.get()](std::int64_t offset) {
    return probe_offer(*open, offset);
  };
  session->ahead = std::make_unique<ReadAhead>(std::move(source));
  disk.session = std::move(session);
  return Status::ok();
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
  // Nothing reads the disk once the calls have left.
  session->ahead->stop();
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
