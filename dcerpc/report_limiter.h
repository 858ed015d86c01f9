// Rate limiting for log lines: at most one line per key per interval, and the
// line that gets through says how many were held back since the last one. A
// peer that repeats the same fault ten thousand times a second costs one line
// a minute. Every member may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace rpc {

class ReportLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  // `interval`: the least time between two lines of one key. `max_keys`: the
  // keys remembered at once (at least 1). When the table is full, a new key
  // takes the place of the key reported longest ago if that one's interval
  // has run out; otherwise the new key shares one overflow slot with every
  // other key left out, so that no flood of keys makes more than
  // max_keys + 1 lines per interval, and the table never grows. `now` is the
  // clock (tests pass a fake one).
  explicit ReportLimiter(std::chrono::milliseconds interval = std::chrono::minutes(1),
                         std::size_t max_keys = 1024,
                         std::function<Clock::time_point()> now = Clock::now);

  // Whether a line for `key` may be written now. When it may, `*suppressed`
  // (if given) is the count of lines for that key (or the overflow slot) held
  // back since the last one written, and the count starts again at 0.
  bool admit(const std::string& key, std::uint64_t* suppressed = nullptr);

  // admit(), and when admitted the line with the suppressed count appended as
  // " (N similar lines suppressed)"; "" when the line is to be dropped.
  std::string filter(const std::string& key, const std::string& line);

  // Keys remembered now (for tests).
  std::size_t size() const;

 private:
  struct Entry {
    Clock::time_point reported;
    std::uint64_t suppressed = 0;
    std::list<std::string>::iterator position;  // in order_
  };
  bool admit_entry(Entry* entry, Clock::time_point now, std::uint64_t* suppressed);

  const std::chrono::milliseconds interval_;
  const std::size_t max_keys_;
  const std::function<Clock::time_point()> now_;

  mutable std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;  // guarded by mu_
  std::list<std::string> order_;                    // keys, oldest report first; guarded by mu_
  Entry overflow_;                                  // guarded by mu_
  bool overflow_used_ = false;                      // guarded by mu_
};

}  // namespace rpc
