// The lock guards the incoming queue, the stepper role and each job's done
// flag; the hashing runs unlocked, on state that only the stepper touches.
// The stepper leaves as soon as its own message is done, so that no caller's
// answer waits on other callers' messages for longer than its own would
// take; the thread of the oldest message still in the lanes takes over.
#include "digest/hash_combiner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "digest/digest.h"
#include "digest/lane_plan.h"
#include "digest/md5_steps.h"

namespace {

// How far one step advances each message: 16 KiB. A newcomer waits at most
// one step (about 50 microseconds with 16 full lanes) before it joins.
constexpr std::size_t kStepBlocks = 256;

// How long a message about to go on alone may wait for a partner, in
// passes of its own through the widest lanes. Measured on a full copy with
// 16 lanes (AVX-512): at one pass both ends averaged 2.7 to 2.9 messages a
// step, at three 3.8 to 3.9, with about 0.1 CPU s less per GiB on each end
// and the same wall time; longer waits gained nothing more.
constexpr double kPatiencePasses = 3;

// Hashes what is left after the whole blocks (a partial block and the
// padding) and writes the digest.
void finish(const std::uint32_t (&chain)[4], const std::uint8_t* data, std::size_t length,
            std::uint8_t* out) {
  const std::size_t consumed = length / 64 * 64;
  Md5Context context;
  md5_detail::md5_resume(&context, chain, consumed);
  md5_update(&context, data + consumed, static_cast<std::uint32_t>(length - consumed));
  md5_final(out, &context);
}

}  // namespace

HashCombiner::HashCombiner(Md5Lanes widest)
    : widest_(md5_lanes_supported(widest) ? widest : Md5Lanes::kScalar),
      width_(widest_ == Md5Lanes::kScalar ? 1 : md5_detail::widest_group(widest_)) {}

HashCombiner::Arrival HashCombiner::expect() {
  std::lock_guard lock(mutex_);
  ++expected_;
  return Arrival(this);
}

void HashCombiner::Arrival::done() {
  if (combiner_ == nullptr) return;
  std::lock_guard lock(combiner_->mutex_);
  --combiner_->expected_;
  if (combiner_->waiting_stepper_ != nullptr) combiner_->waiting_stepper_->wake.notify_one();
  combiner_ = nullptr;
}

void HashCombiner::digest(const std::uint8_t* data, std::size_t length,
                          std::uint8_t (&out)[kDigestLength]) {
  if (width_ == 1) {
    // Nothing to share: every thread hashes its own message, in parallel.
    md5_digest(data, length, out);
    std::lock_guard lock(mutex_);
    ++stats_.digests;
    ++stats_.steps;
    stats_.blocks_by_lanes[1] += length / 64;
    return;
  }
  Job job{data, length, out, data, length / 64, {}, false, false, -1, {}};
  std::memcpy(job.chain, md5_detail::kInitial, sizeof job.chain);
  std::unique_lock lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (last_arrival_ != std::chrono::steady_clock::time_point{}) {
    // A moving average over the last eight or so gaps.
    const double gap = std::chrono::duration<double, std::nano>(now - last_arrival_).count();
    mean_gap_ns_ = mean_gap_ns_ < 0 ? gap : mean_gap_ns_ + (gap - mean_gap_ns_) / 8;
  }
  last_arrival_ = now;
  incoming_.push_back(&job);
  if (waiting_stepper_ != nullptr) waiting_stepper_->wake.notify_one();
  if (!stepping_) {
    stepping_ = true;
    job.stepper = true;
  }
  while (!job.done && !job.stepper) job.wake.wait(lock);
  if (!job.done) step_until_done(lock, &job);
}

void HashCombiner::step_until_done(std::unique_lock<std::mutex>& lock, Job* self) {
  while (!self->done) {
    while (active_count_ < width_ && !incoming_.empty()) {
      active_[active_count_++] = incoming_.front();
      incoming_.pop_front();
    }
    wait_for_partner(lock, self);
    while (active_count_ < width_ && !incoming_.empty()) {
      active_[active_count_++] = incoming_.front();
      incoming_.pop_front();
    }
    lock.unlock();
    std::size_t advanced = 0;
    std::size_t blocks = 0;
    advance(&advanced, &blocks);
    // Messages whose whole blocks are done are finished outside the lock.
    std::size_t finished[16];
    std::size_t finished_count = 0;
    for (std::size_t i = 0; i < active_count_; ++i) {
      Job* job = active_[i];
      if (job->blocks_left != 0) continue;
      finish(job->chain, job->data, job->length, job->out);
      finished[finished_count++] = i;
    }
    lock.lock();
    if (advanced != 0) {
      ++stats_.steps;
      stats_.blocks_by_lanes[advanced] += advanced * blocks;
    }
    // Removed from the back so that the indexes still hold; the order of
    // the rest (oldest first) is kept.
    for (std::size_t f = finished_count; f-- > 0;) {
      Job* job = active_[finished[f]];
      std::copy(active_ + finished[f] + 1, active_ + active_count_, active_ + finished[f]);
      --active_count_;
      ++stats_.digests;
      job->done = true;
      // Notified with the lock held: once done is seen, the job's thread
      // may return and the job, condition included, be gone.
      if (job != self) job->wake.notify_one();
    }
  }
  // Hand over to the oldest message left, in the lanes or still to come in.
  Job* next = active_count_ != 0 ? active_[0] : !incoming_.empty() ? incoming_.front() : nullptr;
  if (next == nullptr) {
    stepping_ = false;
    return;
  }
  next->stepper = true;
  next->wake.notify_one();
}

void HashCombiner::wait_for_partner(std::unique_lock<std::mutex>& lock, Job* self) {
  if (!incoming_.empty()) return;
  std::size_t moving = 0;
  Job* oldest = nullptr;
  for (std::size_t i = 0; i < active_count_; ++i) {
    if (active_[i]->blocks_left == 0) continue;
    if (moving++ == 0) oldest = active_[i];
  }
  if (oldest == nullptr || !md5_detail::lane_plan(widest_, moving).alone()) return;
  if (oldest->patience_ns < 0) {
    oldest->patience_ns = kPatiencePasses * md5_detail::widest_step_cost(widest_) *
                          static_cast<double>(oldest->blocks_left);
  }
  // A partner is to be expected when one is announced, or when messages
  // have lately come closer together than the wait that is left.
  const bool flowing = mean_gap_ns_ < oldest->patience_ns;
  if (oldest->patience_ns <= 0 || (expected_ == 0 && !flowing)) return;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline =
      start + std::chrono::nanoseconds(static_cast<std::int64_t>(oldest->patience_ns));
  waiting_stepper_ = self;
  while ((expected_ > 0 || flowing) && incoming_.empty() &&
         self->wake.wait_until(lock, deadline) != std::cv_status::timeout) {
  }
  waiting_stepper_ = nullptr;
  const double waited =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  oldest->patience_ns = std::max(0.0, oldest->patience_ns - waited);
  ++stats_.waits;
}

void HashCombiner::advance(std::size_t* advanced, std::size_t* blocks) {
  // Messages with blocks left, oldest first; the step is as long as the
  // shortest of them allows.
  Job* moving[16];
  std::size_t count = 0;
  std::size_t step = kStepBlocks;
  for (std::size_t i = 0; i < active_count_; ++i) {
    if (active_[i]->blocks_left == 0) continue;
    moving[count++] = active_[i];
    step = std::min(step, active_[i]->blocks_left);
  }
  *advanced = 0;
  *blocks = 0;
  if (count == 0) return;
  const md5_detail::LanePlan& plan = md5_detail::lane_plan(widest_, count);
  if (plan.alone()) {
    // Alone, or too few for any pairing to pay: the oldest goes on by
    // itself, and the others may find partners before their turn.
    Job* job = moving[0];
    step = std::min(kStepBlocks, job->blocks_left);
    md5_detail::md5_blocks(job->chain, job->next, step);
    job->next += step * 64;
    job->blocks_left -= step;
    *advanced = 1;
    *blocks = step;
    return;
  }
  std::size_t first = 0;
  for (std::size_t g = 0; g < plan.groups; ++g) {
    const md5_detail::LaneGroup& group = plan.group[g];
    if (group.kernel == nullptr) {
      Job* job = moving[first++];
      md5_detail::md5_blocks(job->chain, job->next, step);
      job->next += step * 64;
      job->blocks_left -= step;
      continue;
    }
    alignas(64) std::uint32_t state[4][md5_detail::kMaxLanes];
    const std::uint8_t* feed[md5_detail::kMaxLanes];
    for (std::size_t lane = 0; lane < group.width; ++lane) {
      // Unused lanes ride along on the group's first message; their result
      // is thrown away.
      const Job* job = moving[first + (lane < group.count ? lane : 0)];
      feed[lane] = job->next;
      for (int w = 0; w < 4; ++w) state[w][lane] = job->chain[w];
    }
    group.kernel(feed, step, state);
    for (std::size_t lane = 0; lane < group.count; ++lane) {
      Job* job = moving[first + lane];
      for (int w = 0; w < 4; ++w) job->chain[w] = state[w][lane];
      job->next += step * 64;
      job->blocks_left -= step;
    }
    first += group.count;
  }
  *advanced = count;
  *blocks = step;
}

HashCombiner::Stats HashCombiner::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

void HashCombiner::count_pass(std::size_t messages, std::size_t blocks) {
  if (messages == 0 || messages > 16) return;
  std::lock_guard lock(mutex_);
  stats_.digests += messages;
  stats_.steps += (blocks + kStepBlocks - 1) / kStepBlocks;
  stats_.blocks_by_lanes[messages] += messages * blocks;
}

std::string HashCombiner::describe(const Stats& stats) {
  // Message-blocks over step-blocks: how many messages a block step carried.
  double blocks = 0;
  double step_blocks = 0;
  for (std::size_t lanes = 1; lanes < stats.blocks_by_lanes.size(); ++lanes) {
    blocks += static_cast<double>(stats.blocks_by_lanes[lanes]);
    step_blocks += static_cast<double>(stats.blocks_by_lanes[lanes]) / static_cast<double>(lanes);
  }
  char text[128];
  std::snprintf(
      text, sizeof text,
      "%zu digests in %zu steps, %.2f messages a step, %zu waits (blocks by lanes:", stats.digests,
      stats.steps, step_blocks == 0 ? 0.0 : blocks / step_blocks, stats.waits);
  std::string line = text;
  for (std::size_t lanes = 1; lanes < stats.blocks_by_lanes.size(); ++lanes) {
    if (stats.blocks_by_lanes[lanes] == 0) continue;
    // Appended piece by piece: g++ 12 at -O3 warns falsely of overlap in
    // `" " + std::to_string(...)`.
    line += ' ';
    line += std::to_string(lanes);
    line += ':';
    line += std::to_string(stats.blocks_by_lanes[lanes]);
  }
  return line + ")";
}
