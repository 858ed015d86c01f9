// The table is a hash map for lookups plus a list in the order the keys were
// last written, so that the key to give up is always at the front.
#include "dcerpc/report_limiter.h"

#include <algorithm>

namespace rpc {

ReportLimiter::ReportLimiter(std::chrono::milliseconds interval, std::size_t max_keys,
                             std::function<Clock::time_point()> now)
    : interval_(interval), max_keys_(std::max<std::size_t>(max_keys, 1)), now_(std::move(now)) {}

bool ReportLimiter::admit_entry(Entry* entry, Clock::time_point now, std::uint64_t* suppressed) {
  if (now - entry->reported < interval_) {
    ++entry->suppressed;
    return false;
  }
  if (suppressed) *suppressed = entry->suppressed;
  entry->suppressed = 0;
  entry->reported = now;
  return true;
}

bool ReportLimiter::admit(const std::string& key, std::uint64_t* suppressed) {
  const Clock::time_point now = now_();
  std::lock_guard lock(mu_);
  if (auto it = entries_.find(key); it != entries_.end()) {
    if (!admit_entry(&it->second, now, suppressed)) return false;
    order_.splice(order_.end(), order_, it->second.position);
    return true;
  }
  if (entries_.size() >= max_keys_) {
    auto oldest = entries_.find(order_.front());
    if (now - oldest->second.reported < interval_) {
      // Every remembered key is still within its interval: a flood.
      if (!overflow_used_) {
        overflow_used_ = true;
        overflow_.reported = now;
        if (suppressed) *suppressed = 0;
        return true;
      }
      return admit_entry(&overflow_, now, suppressed);
    }
    entries_.erase(oldest);
    order_.pop_front();
  }
  order_.push_back(key);
  Entry& entry = entries_[key];
  entry.reported = now;
  entry.position = std::prev(order_.end());
  if (suppressed) *suppressed = 0;
  return true;
}

std::string ReportLimiter::filter(const std::string& key, const std::string& line) {
  std::uint64_t suppressed = 0;
  if (!admit(key, &suppressed)) return {};
  if (suppressed == 0) return line;
  return line + " (" + std::to_string(suppressed) + " similar line" + (suppressed == 1 ? "" : "s") +
         " suppressed)";
}

std::size_t ReportLimiter::size() const {
  std::lock_guard lock(mu_);
  return entries_.size();
}

}  // namespace rpc
