// The hashing thread holds the lock only to take jobs and to publish their
// results. It leaves as soon as its own job is done rather than serving the
// queue indefinitely, so no connection's reply waits on other connections'
// chunks; a thread whose job is still queued then takes over.
#include "digest/hash_combiner.h"

#include <algorithm>
#include <cstring>

HashCombiner::HashCombiner(Md5Lanes lanes) : lanes_(lanes), width_(md5_lane_width(lanes)) {}

void HashCombiner::digest(const std::uint8_t* data, std::size_t length, std::uint8_t (&out)[16]) {
  Job job{data, length, out};
  std::unique_lock lock(mutex_);
  queue_.push_back(&job);
  // Waiting is safe only while someone is hashing: that thread either
  // finishes our job or, when it leaves, wakes us to take over. With no one
  // hashing, our job (or one queued before it) is still queued, and this
  // thread hashes it.
  while (!job.done) {
    if (hashing_) {
      changed_.wait(lock);
      continue;
    }
    hashing_ = true;
    while (!job.done && !queue_.empty()) {
      const std::size_t n = std::min(width_, queue_.size());
      Job* batch[16];
      const std::uint8_t* pointers[16];
      std::size_t lengths[16];
      std::uint8_t digests[16][16];
      for (std::size_t i = 0; i < n; ++i) {
        batch[i] = queue_.front();
        queue_.pop_front();
        pointers[i] = batch[i]->data;
        lengths[i] = batch[i]->length;
      }
      lock.unlock();
      md5_many_using(lanes_, pointers, lengths, digests, n);
      lock.lock();
      for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(batch[i]->out, digests[i], 16);
        batch[i]->done = true;
      }
      ++batches_;
      messages_ += n;
      changed_.notify_all();
    }
    hashing_ = false;
    // Threads whose jobs are still queued must see that no one hashes now.
    if (!queue_.empty()) changed_.notify_all();
  }
}

std::size_t HashCombiner::batches() const {
  std::lock_guard lock(mutex_);
  return batches_;
}

std::size_t HashCombiner::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}
