// What the disk store's two halves share: disk_store.cc (disks and
// sessions, opening and closing) and disk_data.cc (the replicate and
// compare calls). Internal to server/; the thread rules are disk_store.cc's.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "server/disk_session.h"
#include "server/disk_store.h"

// Direct writes of data that the runtime did not place at an aligned
// address go through a copy, one per thread, a piece at a time. The piece
// size only sets how many writes such a chunk takes; any multiple of
// kDirectMemoryAlignment serves, and a disk's block must divide it.
inline constexpr std::size_t kDirectPiece = 1048576;

// Holds a disk's session for the length of one call, so that a close waits
// for the call instead of closing the descriptor under it.
class DiskStore::Use {
 public:
  // `disk` is null for a number that is not served.
  Use(Disk* disk, std::uint32_t group) : disk_(disk) {
    if (!disk) {
      status_ = Status::failure(UnknownDisk, "no such disk");
      return;
    }
    std::lock_guard lock(disk->mutex);
    if (!disk->session) {
      status_ = Status::failure(NotOpen, "disk is not open");
    } else if (disk->session->group != group) {
      status_ =
          Status::failure(NotOpen, "disk is open by group " + std::to_string(disk->session->group));
    } else {
      session_ = disk->session;
      ++session_->active;
    }
  }
  ~Use() {
    if (!session_) return;
    std::lock_guard lock(disk_->mutex);
    if (--session_->active == 0) disk_->idle.notify_all();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  // Null unless the caller's group has the disk open.
  Session* session() const { return session_.get(); }
  // Why session() is null.
  const Status& status() const { return status_; }

 private:
  Disk* disk_;
  std::shared_ptr<Session> session_;
  Status status_ = Status::ok();
};

template <typename Call>
std::optional<std::int32_t> DiskStore::guarded(const char* procedure, const Caller& caller,
                                               std::int16_t dest, const Call& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    // The message fits in a string without allocating; the line may not.
    try {
      return fail(procedure, caller, dest, {}, Status::failure(OutOfMemory, "out of memory"),
                  nullptr);
    } catch (const std::bad_alloc&) {
      return OutOfMemory;
    }
  }
}
