// Keeps a peer from filling the log: at most a number of lines per key (the
// peer's address) in each interval; the lines beyond are counted and the
// count reported once the interval is over. Every member may be called from
// any thread at once; the clock is passed in, so tests need not wait.
// Unlike rpc::ReportLimiter, which lets one line per key and interval
// through, this lets a burst through and counts the rest as the interval
// ends: a peer's first failures are all worth reading.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class LineBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // A suppressed count to report: `count` lines of `key` were not written in
  // the interval that began at `since`.
  struct Suppressed {
    std::string key;
    std::uint64_t count = 0;
  };

  struct Verdict {
    bool write = false;  // write this line
    // Write the "suppressing" notice before it: this is the first line of the
    // interval that is not written.
    bool starts_suppressing = false;
    // The previous interval of this key ended with lines suppressed; report
    // their count before this line (0 = nothing to report).
    std::uint64_t suppressed_before = 0;
  };

  LineBudget(std::size_t lines_per_interval, Clock::duration interval);

  // One more line for `key` at `now`.
  Verdict admit(const std::string& key, Clock::time_point now);
  // The counts of every interval that has ended by `now` with lines
  // suppressed; those intervals are forgotten. With `all`, the intervals
  // still running are ended too (at shutdown).
  std::vector<Suppressed> expire(Clock::time_point now, bool all = false);

  // Keys kept at once; beyond them, new keys share the key kOverflowKey.
  static constexpr std::size_t kMaxKeys = 4096;
  static const char kOverflowKey[];

  std::size_t lines_per_interval() const { return lines_; }
  Clock::duration interval() const { return interval_; }

 private:
  struct Window {
    Clock::time_point start;
    std::uint64_t lines = 0;  // admitted or not, in this interval
  };

  const std::size_t lines_;
  const Clock::duration interval_;
  std::mutex mutex_;
  std::map<std::string, Window> windows_;  // guarded by mutex_
};
