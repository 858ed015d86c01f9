// Group commit for one open disk: a caller whose writes have ended waits for
// a flush that started after them. One flush runs at a time; callers that
// arrive while one runs share the next. The first failure, of a flush or one
// handed in with stick(), is kept for the gate's life and answered to every
// later caller: after a failed fdatasync the kernel may have dropped the
// dirty pages, and a later flush could succeed without them. Every member
// may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "server/status.h"

class FlushGate {
 public:
  // Makes every write completed before it durable; ok or why not. Called
  // without the gate's lock, by one of the waiting callers.
  using Flush = std::function<Status()>;

  // Returns once a flush that started after this call has ended (running
  // `flush` itself when none is running): ok, or the failure that stuck.
  Status wait(const Flush& flush);

  // Keeps `failure` unless the gate has one already; returns the one kept.
  // `*first` (when given) says whether it was this one.
  Status stick(Status failure, bool* first = nullptr);
  // Ok, or the failure that stuck.
  Status status() const;
  // Callers in wait() now, the one flushing included (for tests).
  std::size_t waiting() const;

 private:
  mutable std::mutex mutex_;
  // Callers wait on the one of the flush they need, by its number's parity:
  // while flush n runs, the callers still waiting need n or n + 1. Its end
  // wakes all that needed it and one that needs the next, to start it.
  std::condition_variable flush_ended_[2];
  // Flushes are numbered from 1; one runs at a time.
  std::uint64_t started_ = 0;
  std::uint64_t ended_ = 0;
  bool flushing_ = false;
  std::size_t waiting_ = 0;
  Status failure_ = Status::ok();
};
