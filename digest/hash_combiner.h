// Lets threads that each need one digest share the vector lanes without
// waiting for one another. A message joins the lanes as soon as it is
// handed in: one thread at a time, the stepper, advances every message in
// the lanes by a short step (a few kilobytes each), takes in newcomers
// between steps and finishes each message whose last block is done. A
// message never waits for partners to fill the lanes: while few messages
// are in them, a step uses whichever engines are cheapest on this CPU for
// that many (lane_plan.h): the interleaved scalar rounds for two to four,
// the vector lanes for more, the scalar engine for the oldest message
// alone. Only a message that would go on alone on the scalar engine waits
// for a partner, and only while one is to be expected: announced as on its
// way (a read or a request still arriving), or due because messages have
// lately come closer together than the wait it has left; that wait is
// bounded by a few passes of its own through the widest lanes (a few
// milliseconds for 1 MiB).
// The client's chunk workers and the server's connection threads hash
// through one combiner per process. Every member function may be called
// from any number of threads at once.
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
  // How the work was shared so far. blocks_by_lanes[k] counts the 64-byte
  // blocks of each message that were hashed in steps that advanced k
  // messages together (k from 1 to 16); k = 1 is the scalar engine.
  struct Stats {
    std::size_t digests = 0;
    std::size_t steps = 0;
    // Times a message about to go on alone waited for an announced partner.
    std::size_t waits = 0;
    std::array<std::uint64_t, 17> blocks_by_lanes{};
  };

  // `widest`: the widest instruction set the combiner may use (the CPU's
  // best by default). kScalar hashes each message on its own thread.
  explicit HashCombiner(Md5Lanes widest = md5_lanes_best());
  HashCombiner(const HashCombiner&) = delete;
  HashCombiner& operator=(const HashCombiner&) = delete;

  // Writes the MD5 digest of the `length` bytes at `data` to `out`. The data
  // must stay unchanged until the call returns. The caller may spend part of
  // the call hashing other threads' messages, never more than the time its
  // own message needs in the lanes.
  void digest(const std::uint8_t* data, std::size_t length, std::uint8_t (&out)[kDigestLength]);

  // A message announced as on its way, from when its read or request starts
  // until its data is all there or it turns out to need no digest: done(),
  // a move-assignment over it, or its destruction, whichever comes first,
  // ends the announcement, exactly once. An Arrival that announces nothing
  // (default-constructed) may be ended too.
  class Arrival {
   public:
    Arrival() = default;
    Arrival(Arrival&& other) noexcept : combiner_(other.combiner_) { other.combiner_ = nullptr; }
    Arrival& operator=(Arrival&& other) noexcept {
      if (this != &other) {
        done();
        combiner_ = other.combiner_;
        other.combiner_ = nullptr;
      }
      return *this;
    }
    ~Arrival() { done(); }
    void done();

   private:
    friend class HashCombiner;
    explicit Arrival(HashCombiner* combiner) : combiner_(combiner) {}
    HashCombiner* combiner_ = nullptr;
  };
  [[nodiscard]] Arrival expect();

  // Counts a pass that hashed `messages` messages (1 to 16) of `blocks`
  // 64-byte blocks each together elsewhere (md5_many) in the stats, as if
  // stepped here, so that one line tells how all of a process's digests
  // shared the lanes.
  void count_pass(std::size_t messages, std::size_t blocks);

  // How many messages one step can advance together: 1, 8 or 16.
  std::size_t width() const { return width_; }
  Stats stats() const;
  // "N digests in M steps, X messages a step, W waits (blocks by lanes:
  // 1:a 2:b ...)", for logs and measurements.
  static std::string describe(const Stats& stats);

 private:
  // One message on its way through the lanes. Only the stepper reads or
  // writes `next`, `blocks_left` and `chain`; `done` and `stepper` are
  // guarded by mutex_. Its thread waits on `wake` alone.
  struct Job {
    const std::uint8_t* data;
    std::size_t length;
    std::uint8_t* out;
    const std::uint8_t* next;
    std::size_t blocks_left;
    std::uint32_t chain[4];
    bool done = false;
    bool stepper = false;  // this job's thread is to take over the stepping
    // How long this message may still wait for a partner, in nanoseconds;
    // only the stepper uses it.
    double patience_ns = -1;
    std::condition_variable wake;
  };

  // Steps the lanes until `self` is done, then hands the stepping to the
  // thread of a message still in the lanes. Called and returns with `lock`
  // held.
  void step_until_done(std::unique_lock<std::mutex>& lock, Job* self);
  // Advances the messages in active_ by one step; returns how many
  // messages advanced and the blocks each advanced by. Runs unlocked.
  void advance(std::size_t* advanced, std::size_t* blocks);
  // Waits, with `lock` held, while the oldest message in the lanes would
  // go on alone on the scalar engine and a partner is announced, until one
  // comes or the oldest has waited as long as its scalar hashing takes.
  void wait_for_partner(std::unique_lock<std::mutex>& lock, Job* self);

  const Md5Lanes widest_;
  const std::size_t width_;
  mutable std::mutex mutex_;
  // Messages handed in and not yet in the lanes.
  std::deque<Job*> incoming_;
  // True while a thread is the stepper.
  bool stepping_ = false;
  // The messages in the lanes, oldest first; owned by the stepper.
  Job* active_[16] = {};
  std::size_t active_count_ = 0;
  // Messages announced by expect() and not yet done().
  std::size_t expected_ = 0;
  // The stepper's job while it waits for a partner, or null; its `wake` is
  // signalled when a message is handed in or an announcement ends.
  Job* waiting_stepper_ = nullptr;
  // When the last message was handed in, and the mean gap between messages
  // lately (negative until two have come).
  std::chrono::steady_clock::time_point last_arrival_{};
  double mean_gap_ns_ = -1;
  Stats stats_;
};
