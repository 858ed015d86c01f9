// The lock is held only to queue, to take jobs and to publish results; the
// hashing itself runs unlocked. A hasher leaves as soon as its own job is
// done rather than serving the queue indefinitely, so that no caller's
// answer waits on other callers' messages; a thread whose job is still
// queued takes over. Each thread waits on its own job's condition, and is
// woken only when its job is done, when it is to take over the hashing, or
// (while it gathers partners) when a message comes.
#include "digest/hash_combiner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

HashCombiner::HashCombiner(Md5Lanes lanes, std::chrono::microseconds gather_bound)
    : lanes_(lanes), width_(md5_lane_width(lanes)), gather_bound_(gather_bound) {}

void HashCombiner::expect() {
  std::lock_guard lock(mutex_);
  ++expected_;
}

void HashCombiner::arrived() {
  std::lock_guard lock(mutex_);
  if (expected_ > 0) --expected_;
  // A gathering thread re-checks whether anything is still on its way.
  if (gatherer_ != nullptr) gatherer_->wake.notify_one();
}

void HashCombiner::digest(const std::uint8_t* data, std::size_t length,
                          std::uint8_t (&out)[kDigestLength]) {
  Job job{data, length, out, false, {}};
  std::unique_lock lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  // Messages are flowing when the one before came less than a bound ago.
  const bool flowing = stats_.messages + queue_.size() > 0 && now - last_arrival_ < gather_bound_;
  last_arrival_ = now;
  queue_.push_back(&job);
  if (gatherer_ != nullptr) gatherer_->wake.notify_one();
  // Waiting is safe only while someone hashes: that thread either finishes
  // our job or, when it leaves, wakes the first queued job to take over. A
  // full batch queued while others hash is hashed by whoever completed it.
  while (!job.done) {
    const bool may_hash = !queue_.empty() && (hashers_ == 0 || queue_.size() >= width_);
    if (!may_hash) {
      job.wake.wait(lock);
      continue;
    }
    ++hashers_;
    // Alone, and with fewer messages than lanes: the ones on their way are
    // worth a short wait. The deadline counts from here, so no message
    // waits for partners more than once.
    if (hashers_ == 1 && queue_.size() < width_ && (expected_ > 0 || flowing) && width_ > 1) {
      const auto deadline = now + gather_bound_;
      gatherer_ = &job;
      while (!job.done && queue_.size() < width_ && (expected_ > 0 || flowing) &&
             job.wake.wait_until(lock, deadline) != std::cv_status::timeout) {
      }
      gatherer_ = nullptr;
    }
    while (!job.done && !queue_.empty()) hash_one_batch(lock);
    --hashers_;
    // The thread of the first job still queued takes over.
    if (!queue_.empty()) queue_.front()->wake.notify_one();
  }
}

void HashCombiner::hash_one_batch(std::unique_lock<std::mutex>& lock) {
  const std::size_t n = std::min(width_, queue_.size());
  Job* batch[16];
  const std::uint8_t* pointers[16];
  std::size_t lengths[16];
  std::uint8_t digests[16][kDigestLength];
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
    std::memcpy(batch[i]->out, digests[i], kDigestLength);
    batch[i]->done = true;
    // Notified with the lock held: once done is seen, the job's thread may
    // return and its job, condition included, be gone.
    batch[i]->wake.notify_one();
  }
  ++stats_.batches;
  stats_.messages += n;
  ++stats_.by_size[n];
}

HashCombiner::Stats HashCombiner::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

std::string HashCombiner::describe(const Stats& stats) {
  char text[64];
  std::snprintf(text, sizeof text, "%zu digests in %zu passes (mean %.2f; by size:", stats.messages,
                stats.batches,
                stats.batches == 0
                    ? 0.0
                    : static_cast<double>(stats.messages) / static_cast<double>(stats.batches));
  std::string line = text;
  for (std::size_t size = 1; size < stats.by_size.size(); ++size) {
    if (stats.by_size[size] == 0) continue;
    line += " " + std::to_string(size) + ":" + std::to_string(stats.by_size[size]);
  }
  return line + ")";
}
