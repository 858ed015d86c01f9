// The per-key interval count behind the log's flood bound. Only keys seen
// within the last interval (or with a count still to report) are kept, so the
// table is bounded by the peers that can connect in one interval.
#include "server/line_budget.h"

const char LineBudget::kOverflowKey[] = "other peers";

LineBudget::LineBudget(std::size_t lines_per_interval, Clock::duration interval)
    : lines_(lines_per_interval), interval_(interval) {}

LineBudget::Verdict LineBudget::admit(const std::string& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Verdict verdict;
  // A table full of peers still in their interval: newcomers share one
  // entry, so that no number of peers makes the table or the log unbounded.
  auto found = windows_.find(key);
  if (found == windows_.end()) {
    found =
        windows_.try_emplace(windows_.size() >= kMaxKeys ? std::string(kOverflowKey) : key).first;
  }
  Window& window = found->second;
  if (window.lines == 0 || now - window.start >= interval_) {
    if (window.lines > lines_) verdict.suppressed_before = window.lines - lines_;
    window.start = now;
    window.lines = 0;
  }
  ++window.lines;
  verdict.write = window.lines <= lines_;
  verdict.starts_suppressing = window.lines == lines_ + 1;
  // Keep the table small when many peers come and go.
  if (windows_.size() > kMaxKeys / 2) {
    for (auto it = windows_.begin(); it != windows_.end();) {
      const bool ended = now - it->second.start >= interval_;
      it = ended && it->second.lines <= lines_ ? windows_.erase(it) : std::next(it);
    }
  }
  return verdict;
}

std::vector<LineBudget::Suppressed> LineBudget::expire(Clock::time_point now, bool all) {
  std::vector<Suppressed> out;
  std::lock_guard lock(mutex_);
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (!all && now - it->second.start < interval_) {
      ++it;
      continue;
    }
    if (it->second.lines > lines_) out.push_back({it->first, it->second.lines - lines_});
    it = windows_.erase(it);
  }
  return out;
}
