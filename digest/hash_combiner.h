// Lets threads that each need one digest share md5_many: a thread queues its
// message and then either hashes what is queued, its own message among it,
// or waits while another thread does. The client's chunk workers and the
// server's connection threads hash through one combiner per process.
//
// Messages rarely come at the same instant. A thread about to hash fewer
// messages than the lanes hold therefore waits for more, at most
// gather_bound, while messages are flowing: while some are announced as on
// their way (expect(): a read or a request still arriving), or when the one
// before it came less than gather_bound ago. It then hashes together what
// has come. A message that comes alone, after a pause, is hashed at once.
// Every member function may be called from any number of threads at once.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "digest/md5_lanes.h"

class HashCombiner {
 public:
  // How messages were grouped so far: passes of each size (index 1 to 16).
  struct Stats {
    std::size_t batches = 0;
    std::size_t messages = 0;
    std::array<std::size_t, 17> by_size{};
  };

  // How long a thread waits at most for messages on their way before it
  // hashes what has come. With 16 chunks in flight between two ends that
  // both hash, 20 ms lets the chunks settle into full passes (a mean of 7.3
  // to 7.8 messages a pass in 8 lanes, against 3.7 at 5 ms) and cuts each
  // end's hashing time in half, while a copy takes no longer: the wait
  // overlaps the other end's pass and the disk write.
  static constexpr std::chrono::microseconds kDefaultGatherBound{20000};

  explicit HashCombiner(Md5Lanes lanes = md5_lanes_best(),
                        std::chrono::microseconds gather_bound = kDefaultGatherBound);
  HashCombiner(const HashCombiner&) = delete;
  HashCombiner& operator=(const HashCombiner&) = delete;

  // Writes the MD5 digest of the `length` bytes at `data` to `out`. The data
  // must stay unchanged until the call returns. A caller blocks while other
  // threads hash, and for at most gather_bound while it gathers partners.
  void digest(const std::uint8_t* data, std::size_t length, std::uint8_t (&out)[kDigestLength]);

  // A message is on its way: its digest() will come soon, or it turns out
  // to need none. Each expect() must be followed by exactly one arrived(),
  // which is best made just before that digest() (or instead of it).
  void expect();
  void arrived();

  std::size_t width() const { return width_; }
  Stats stats() const;
  // "N digests in M passes (mean X; by size: 1:a 2:b ...)", for logs and
  // measurements.
  static std::string describe(const Stats& stats);

 private:
  // A queued message. Its thread waits on `wake` alone, so that a finished
  // batch or an arrival wakes only the threads it concerns.
  struct Job {
    const std::uint8_t* data;
    std::size_t length;
    std::uint8_t* out;
    bool done = false;
    std::condition_variable wake;
  };

  // Takes up to a lane width of queued jobs, hashes them with the lock
  // released, and publishes their digests. Called and returns with `lock` held.
  void hash_one_batch(std::unique_lock<std::mutex>& lock);

  const Md5Lanes lanes_;
  const std::size_t width_;
  const std::chrono::microseconds gather_bound_;
  mutable std::mutex mutex_;
  // The job of the thread gathering partners, or null. Its `wake` is
  // signalled when a message is queued or has arrived().
  Job* gatherer_ = nullptr;
  // Jobs nobody has taken yet; their threads wait in digest(). A hasher that
  // leaves with jobs still queued wakes the first, to take over.
  std::deque<Job*> queue_;
  // Threads hashing taken jobs right now. A second thread starts only for a
  // full batch, so that cores are added when they pay.
  std::size_t hashers_ = 0;
  // Messages announced by expect() and not yet arrived().
  std::size_t expected_ = 0;
  // When the last message was queued.
  std::chrono::steady_clock::time_point last_arrival_{};
  Stats stats_;
};
