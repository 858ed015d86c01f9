// Lets the server's connection threads share md5_many: a thread that needs a
// digest queues its message and either hashes everything queued at that
// moment, its own message among it, or waits while another thread does.
// Every member function may be called from any number of threads at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "digest/md5_lanes.h"

class HashCombiner {
 public:
  explicit HashCombiner(Md5Lanes lanes = md5_lanes_best());
  HashCombiner(const HashCombiner&) = delete;
  HashCombiner& operator=(const HashCombiner&) = delete;

  // Writes the MD5 digest of the `length` bytes at `data` to `out`. The data
  // must stay unchanged until the call returns.
  void digest(const std::uint8_t* data, std::size_t length, std::uint8_t (&out)[16]);

  // The number of lane passes and of messages hashed so far, for tests and
  // for judging how well messages are combined.
  std::size_t batches() const;
  std::size_t messages() const;

 private:
  struct Job {
    const std::uint8_t* data;
    std::size_t length;
    std::uint8_t* out;
    bool done = false;
  };

  const Md5Lanes lanes_;
  const std::size_t width_;
  mutable std::mutex mutex_;
  // Signalled when a batch is finished or the hasher leaves.
  std::condition_variable changed_;
  // Jobs nobody has taken yet; their threads wait in digest().
  std::deque<Job*> queue_;
  // True while some thread is hashing taken jobs.
  bool hashing_ = false;
  std::size_t batches_ = 0;
  std::size_t messages_ = 0;
};
