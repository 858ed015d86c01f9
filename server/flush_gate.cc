// FlushGate: the numbering of flushes and the sticky failure, under one mutex.
#include "server/flush_gate.h"

#include <new>
#include <utility>

Status FlushGate::wait(const Flush& flush) {
  std::unique_lock lock(mutex_);
  ++waiting_;
  // A flush running now may have started before our write ended; only the
  // next one to start is sure to cover it.
  const std::uint64_t needed = started_ + 1;
  while (ended_ < needed) {
    if (flushing_) {
      flush_ended_[needed % 2].wait(lock);
      continue;
    }
    flushing_ = true;
    ++started_;
    lock.unlock();
    Status result = Status::ok();
    try {
      result = flush();
    } catch (const std::bad_alloc&) {
      // Whether the flush ran, and what it found, is unknown: it failed. The
      // message needs no memory of its own.
      result = Status::failure(OutOfMemory, "out of memory");
    }
    lock.lock();
    flushing_ = false;
    ended_ = started_;
    if (!result.is_ok() && failure_.is_ok()) failure_ = std::move(result);
    flush_ended_[ended_ % 2].notify_all();
    flush_ended_[(ended_ + 1) % 2].notify_one();
  }
  --waiting_;
  return failure_;
}

Status FlushGate::stick(Status failure, bool* first) {
  std::lock_guard lock(mutex_);
  const bool kept = failure_.is_ok();
  if (kept) failure_ = std::move(failure);
  if (first) *first = kept;
  return failure_;
}

Status FlushGate::status() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

std::size_t FlushGate::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}
