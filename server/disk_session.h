// The state behind DiskStore: one served disk and one open of it. Shared by
// the files that make up the store (disk_store.cc, destination_check.cc) and
// by nothing else. Thread rules are given member by member; the lock order is
// that of disk_store.cc.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "server/digest_map.h"
#include "server/disk_store.h"
#include "server/flush_gate.h"
#include "server/read_ahead.h"

// One open of one disk by one association group, on the disk's descriptors.
struct DiskStore::Session {
  // The disk's descriptors (owned by the Disk, which outlives the session):
  // for reads, unaligned writes and everything once direct I/O is refused.
  int fd = -1;
  // The same file opened with O_DIRECT, or -1.
  int direct_fd = -1;
  // --verify-disk: every replicate is refused, nothing is flushed.
  bool read_only = false;
  std::int16_t disk = 0;
  std::uint32_t group = 0;
  bool fixed = false;
  bool block_device = false;
  // Offsets and lengths of direct writes are multiples of this.
  std::size_t block = 4096;
  // Cleared for good, with one log line, when the kernel refuses a direct
  // write or a zero range on this disk.
  std::atomic<bool> direct{false};
  std::atomic<bool> zero_ranges{true};
  // Likewise when the file system cannot allocate an image's blocks ahead
  // of a write (see allocate_ahead).
  std::atomic<bool> allocate{true};
  // Image files: held shared by a write that may lengthen the file, and
  // exclusively by the ftruncate that lengthens it for zeros past its end,
  // which would otherwise cut a write that landed after it took the length.
  std::shared_mutex growth;
  // The disk's length when this open began; for a fixed-size disk also the
  // end that is never written past, and on an image the part written
  // directly (see write_chunk).
  std::int64_t size = 0;
  // For a growable image, the length it may grow to (at least its length
  // when opened).
  std::int64_t max_size = 0;
  // Calls using the session; guarded by the Disk's mutex.
  int active = 0;
  // The image's digest map (owned by the Disk), or null; thread-safe.
  DigestMap* map = nullptr;

  // What the descriptor was opened on, to tell whether the path still names
  // it (rdev matters for block devices).
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  dev_t rdev = 0;
  // Image files: the largest offset + length this open has written, and the
  // largest end of a range it found identical (within the file); what the
  // open vouched for. The file must never be shorter than either.
  std::atomic<std::int64_t> written_end{0};
  std::atomic<std::int64_t> compared_end{0};
  // Image files: one non-zero byte written by this open or found identical
  // by it, in the lowest such chunk so far, read back at each flush and at
  // the close. A truncation below it is caught even after later writes grew
  // the file again. Writers over its position are counted, and the byte is
  // not read while one is at work.
  struct Probe {
    bool set = false;
    std::int64_t chunk = 0;     // offset of the write or compare it came from
    std::int64_t position = 0;  // of the byte
    std::uint8_t value = 0;
    bool compared = false;         // taken from a compare, not a write
    std::uint64_t generation = 0;  // counts replacements
    int writers = 0;               // writes in progress over `position`
    // Every write of the open: started so far, and running now. A compare
    // takes its byte only when no write ran while it read, since one might
    // have changed the bytes it read.
    std::uint64_t writes_started = 0;
    int writes_running = 0;
  };
  std::mutex probe_mutex;
  Probe probe;  // guarded by probe_mutex

  // Group commit, and the first failure that sticks for the rest of this
  // open (FlushFailed or DestinationChanged).
  FlushGate flushes;
  // Set once DestinationChanged stuck, for checks without the gate's lock.
  std::atomic<bool> lost{false};

  std::atomic<std::uint64_t> chunks_replicated{0};
  std::atomic<std::uint64_t> bytes_written{0};
  std::atomic<std::uint64_t> identical{0};
  std::atomic<std::uint64_t> different{0};
  std::atomic<std::uint64_t> failures{0};

  // Reads ahead of compares that come in order; made at the end of the
  // open, stopped by its close. Last, so that its thread has stopped before
  // anything it reads through goes.
  std::unique_ptr<ReadAhead> ahead;
};

struct DiskStore::Disk {
  DiskConfig config;
  // Opened by open_disks(), closed by the store's destructor; -1 when the
  // disk could not be opened (`open_error` says why).
  int fd = -1;
  // The O_DIRECT descriptor, or -1; when start could not open it, each
  // open_device tries again. Guarded by mutex once serving.
  int direct_fd = -1;
  std::string open_error;
  bool block_device = false;
  std::size_t block = 4096;  // the logical block size of direct writes
  // What `fd` was opened on, to tell whether the path still names it.
  dev_t dev = 0;
  ino_t ino = 0;
  dev_t rdev = 0;
  // Growable images: the bound for growth (the file's length at start if it
  // is longer already).
  std::int64_t max_size = 0;
  // With --digest-map, for an image served for writing; made at start.
  std::unique_ptr<DigestMap> map;
  std::mutex mutex;
  // Signalled when a session's `active` drops to zero.
  std::condition_variable idle;
  // A close has taken the session away and is waiting for its calls or
  // flushing; no new session may start until it has ended. Guarded by mutex;
  // `closed` is signalled when it is cleared.
  bool closing = false;
  std::uint32_t closing_group = 0;  // whose session it closes
  std::condition_variable closed;
  std::shared_ptr<Session> session;  // guarded by mutex; null while closed

  // A --verify-disk of the file of a --disk: the two disks share this, and
  // only one of them at a time has a session (from its start to the end of
  // its close). Null for a disk whose file no other disk serves.
  struct SharedFile {
    std::mutex mutex;  // taken after a Disk's mutex, never before it
    const Disk* holder = nullptr;
    std::uint32_t group = 0;
  };
  std::shared_ptr<SharedFile> shared;

  // For a session of `group` on this disk; false (with the other disk's
  // number and group) while the other disk of the file holds it. Called
  // with `mutex` held.
  bool take_file(std::uint32_t group, std::int16_t* holding_disk, std::uint32_t* holding_group) {
    if (!shared) return true;
    std::lock_guard lock(shared->mutex);
    if (shared->holder != nullptr && shared->holder != this) {
      *holding_disk = shared->holder->config.number;
      *holding_group = shared->group;
      return false;
    }
    shared->holder = this;
    shared->group = group;
    return true;
  }
  // Once this disk's session has ended (or did not start). Called with
  // `mutex` held.
  void release_file() {
    if (!shared) return;
    std::lock_guard lock(shared->mutex);
    if (shared->holder == this) shared->holder = nullptr;
  }
};
