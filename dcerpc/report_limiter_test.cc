// The rate limiter for log lines against a fake clock: one line per key per
// interval, the count of lines held back, and a table that a flood of keys
// cannot grow.
#include "dcerpc/report_limiter.h"

#include <gtest/gtest.h>

#include <string>

namespace rpc {
namespace {

using std::chrono::seconds;

class ReportLimiterTest : public ::testing::Test {
 protected:
  ReportLimiter make(std::size_t max_keys = 1024) {
    return ReportLimiter(seconds(60), max_keys, [this] { return now_; });
  }
  void advance(seconds by) { now_ += by; }

  ReportLimiter::Clock::time_point now_{seconds(1000)};
};

TEST_F(ReportLimiterTest, OneLinePerKeyPerIntervalWithTheCountHeldBack) {
  ReportLimiter limiter = make();
  EXPECT_EQ(limiter.filter("a", "line"), "line");
  EXPECT_EQ(limiter.filter("a", "line"), "");
  advance(seconds(59));
  EXPECT_EQ(limiter.filter("a", "line"), "");
  EXPECT_EQ(limiter.filter("b", "other"), "other");  // keys are independent
  advance(seconds(1));
  EXPECT_EQ(limiter.filter("a", "line"), "line (2 similar lines suppressed)");
  // The count starts again, and the interval from the line just written.
  advance(seconds(30));
  EXPECT_EQ(limiter.filter("a", "line"), "");
  advance(seconds(30));
  EXPECT_EQ(limiter.filter("a", "line"), "line (1 similar line suppressed)");
  advance(seconds(60));
  std::uint64_t suppressed = 99;
  EXPECT_TRUE(limiter.admit("a", &suppressed));
  EXPECT_EQ(suppressed, 0u);
}

TEST_F(ReportLimiterTest, AFloodOfKeysNeitherGrowsTheTableNorTheOutput) {
  ReportLimiter limiter = make(4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(limiter.admit("k" + std::to_string(i))) << i;
    advance(seconds(1));
  }
  // Table full, every key fresh: one more line for all newcomers together.
  int admitted = 0;
  for (int i = 4; i < 1000; ++i) admitted += limiter.admit("k" + std::to_string(i));
  EXPECT_EQ(admitted, 1);
  EXPECT_EQ(limiter.size(), 4u);
  EXPECT_FALSE(limiter.admit("k1"));  // remembered keys keep their own limit
  // Once the oldest key's interval is over, a newcomer takes its place...
  advance(seconds(56));  // k0 was written 60 s ago, k1 59 s ago
  EXPECT_TRUE(limiter.admit("new"));
  EXPECT_EQ(limiter.size(), 4u);
  // ...but not the place of a key still within its interval.
  EXPECT_FALSE(limiter.admit("newer"));
  // The shared slot says how many newcomers it held back.
  std::uint64_t suppressed = 0;
  advance(seconds(60));
  EXPECT_TRUE(limiter.admit("late", &suppressed));  // evicts k1, a fresh key: nothing held back
  EXPECT_EQ(suppressed, 0u);
  EXPECT_EQ(limiter.size(), 4u);
}

TEST_F(ReportLimiterTest, TheOverflowSlotCountsWhatItHeldBack) {
  ReportLimiter limiter = make(1);
  EXPECT_TRUE(limiter.admit("held"));
  EXPECT_TRUE(limiter.admit("x"));  // the overflow slot's first line
  EXPECT_FALSE(limiter.admit("y"));
  EXPECT_FALSE(limiter.admit("z"));
  advance(seconds(30));
  EXPECT_FALSE(limiter.admit("held"));
  advance(seconds(30));
  // "held" is due again and keeps its place: the newcomer goes to the slot.
  EXPECT_EQ(limiter.filter("held", "h"), "h (1 similar line suppressed)");
  EXPECT_EQ(limiter.filter("w", "w"), "w (2 similar lines suppressed)");
  EXPECT_EQ(limiter.size(), 1u);
}

}  // namespace
}  // namespace rpc
