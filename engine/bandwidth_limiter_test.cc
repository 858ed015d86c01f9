// Checks the pacing intervals, the set-up and its failure, the pacing of
// single passes against a fake clock, and the spacing of passes that several
// threads make at once against the real clock (lower bounds only).
#include "engine/bandwidth_limiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault_injection.h"
#include "records/records.h"
#include "testing/temporary_directory.h"

namespace {

constexpr std::int64_t kMs = 1000000;

// Raised by the fake clock's next sleep: an event that comes while a pass
// sleeps.
std::atomic<bool>* raise_after_first_sleep = nullptr;

// A clock that moves only when told to or when the limiter sleeps. A sleep
// advances it by `wake_fraction` of the asked time (at least 1 ns), which
// simulates sleeps that end early.
struct FakeClock {
  static inline std::int64_t now = 0;
  static inline double wake_fraction = 1.0;
  static inline std::vector<std::int64_t> sleeps;

  static std::int64_t now_ns() { return now; }
  static void sleep_ns(std::int64_t duration_ns) {
    sleeps.push_back(duration_ns);
    if (raise_after_first_sleep != nullptr) raise_after_first_sleep->store(true);
    now += std::max<std::int64_t>(1, static_cast<std::int64_t>(duration_ns * wake_fraction));
  }
  static std::int64_t slept() {
    std::int64_t total = 0;
    for (std::int64_t s : sleeps) total += s;
    return total;
  }
};

class BandwidthLimiterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    release_bandwidth_limiter();
    limiter_clock = kSteadyLimiterClock;
    clear_injected_failures();
  }

  void use_fake_clock(std::int64_t start_ns) {
    FakeClock::now = start_ns;
    FakeClock::wake_fraction = 1.0;
    FakeClock::sleeps.clear();
    limiter_clock = {FakeClock::now_ns, FakeClock::sleep_ns};
  }
};

TEST_F(BandwidthLimiterTest, IntervalFollowsTheWholeChunkRate) {
  const struct {
    std::int32_t limit;
    std::int32_t interval_ms;
  } cases[] = {
      {1024, 1000}, {2047, 1000}, {2048, 500},    {3072, 333}, {10240, 100},
      {39936, 25},  {40959, 25},  {40960, 20},    {92160, 10}, {1013760, 1},
      {1014783, 1}, {1014784, 0}, {INT32_MAX, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(limiter_interval_ms(c.limit), c.interval_ms) << c.limit << " KB/s";
  }
}

TEST_F(BandwidthLimiterTest, LimitsBelowOneChunkPerSecondAreHonoured) {
  EXPECT_EQ(limiter_interval_ms(1), 1024000);
  EXPECT_EQ(limiter_interval_ms(512), 2000);
  EXPECT_EQ(limiter_interval_ms(1000), 1024);
  EXPECT_EQ(limiter_interval_ms(1023), 1000);
}

TEST_F(BandwidthLimiterTest, NoLimitCreatesNothing) {
  for (std::int32_t limit : {0, -1, INT32_MIN}) {
    EXPECT_TRUE(set_up_bandwidth_limiter(limit)) << limit;
    EXPECT_EQ(bandwidth_limiter, nullptr) << limit;
    EXPECT_FALSE(limiter_enabled) << limit;
  }
}

TEST_F(BandwidthLimiterTest, SetUpPublishesTheLimiter) {
  use_fake_clock(123 * kMs);
  ASSERT_TRUE(set_up_bandwidth_limiter(41000));
  ASSERT_NE(bandwidth_limiter, nullptr);
  EXPECT_TRUE(limiter_enabled);
  EXPECT_EQ(bandwidth_limiter->chunks_per_second, 40);
  EXPECT_NE(bandwidth_limiter->gate, nullptr);
  EXPECT_DOUBLE_EQ(bandwidth_limiter->interval_seconds, 0.020);
  EXPECT_EQ(bandwidth_limiter->last_pass_ns, 123 * kMs);

  release_bandwidth_limiter();
  EXPECT_EQ(bandwidth_limiter, nullptr);
  EXPECT_FALSE(limiter_enabled);
  release_bandwidth_limiter();  // nothing left to release
}

TEST_F(BandwidthLimiterTest, SlowLimitKeepsItsComputedRate) {
  ASSERT_TRUE(set_up_bandwidth_limiter(700));
  EXPECT_EQ(bandwidth_limiter->chunks_per_second, 0);
  EXPECT_DOUBLE_EQ(bandwidth_limiter->interval_seconds, 1.462);
}

TEST_F(BandwidthLimiterTest, GateThatCannotBeCreatedFailsTheSetUp) {
  // The report goes to the log file in the working directory.
  const auto previous = std::filesystem::current_path();
  const trv_testing::TemporaryDirectory directory("trv-limiter");
  const std::filesystem::path& dir = directory.path();
  std::filesystem::current_path(dir);

  inject_failure("CreateSemaphoreW", 8);
  const bool ok = set_up_bandwidth_limiter(2048);
  const bool published = bandwidth_limiter != nullptr;
  const bool enabled = limiter_enabled;

  std::ifstream log(dir / "TRV.log", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  log.close();
  std::filesystem::current_path(previous);

  EXPECT_FALSE(ok);
  EXPECT_FALSE(published);
  EXPECT_FALSE(enabled);
  // UTF-16LE: the ASCII text with a zero byte after each character.
  std::string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) text += bytes[i];
  EXPECT_NE(text.find("CreateSemaphore failed, error code: 8"), std::string::npos) << text;
}

TEST_F(BandwidthLimiterTest, FirstPassSleepsOnlyForTheRestOfAnInterval) {
  use_fake_clock(5000 * kMs);
  ASSERT_TRUE(set_up_bandwidth_limiter(1024));  // 1000 ms
  FakeClock::now += 300 * kMs;
  throttle();
  EXPECT_EQ(FakeClock::slept(), 700 * kMs);
  EXPECT_EQ(bandwidth_limiter->last_pass_ns, 6000 * kMs);
}

TEST_F(BandwidthLimiterTest, FirstPassAfterAWholeIntervalDoesNotSleep) {
  use_fake_clock(5000 * kMs);
  ASSERT_TRUE(set_up_bandwidth_limiter(1024));
  FakeClock::now += 1000 * kMs;
  throttle();
  FakeClock::now += 1500 * kMs;
  throttle();
  EXPECT_TRUE(FakeClock::sleeps.empty());
  EXPECT_EQ(bandwidth_limiter->last_pass_ns, 7500 * kMs);
}

TEST_F(BandwidthLimiterTest, SleepThatEndsEarlyIsResumedUntilTheDeadline) {
  use_fake_clock(0);
  ASSERT_TRUE(set_up_bandwidth_limiter(10240));  // 100 ms
  FakeClock::wake_fraction = 0.5;
  throttle();
  EXPECT_GT(FakeClock::sleeps.size(), 1u);
  EXPECT_EQ(FakeClock::sleeps.front(), 100 * kMs);
  EXPECT_GE(bandwidth_limiter->last_pass_ns, 100 * kMs);
}

// At 1 KB/s one interval is 1000 s: neither a stop nor a lost link may wait
// for it, also when it comes while the pass already sleeps.
TEST_F(BandwidthLimiterTest, StopOrLostLinkLetsAWaitingPassThroughAtOnce) {
  for (std::atomic<bool>* flag : {&stop_requested, &link_lost}) {
    for (bool during_the_sleep : {false, true}) {
      use_fake_clock(0);
      ASSERT_TRUE(set_up_bandwidth_limiter(1));
      const std::int64_t before = FakeClock::slept();
      if (during_the_sleep) {
        raise_after_first_sleep = flag;
      } else {
        flag->store(true);
      }
      throttle();
      flag->store(false);
      raise_after_first_sleep = nullptr;
      EXPECT_LE(FakeClock::slept() - before, 400 * kMs) << during_the_sleep;
      release_bandwidth_limiter();
    }
  }
}

// A call out and unanswered for 10 s holds the next pass until an answer
// comes, or until the run halts; calls answered in time hold nothing.
TEST_F(BandwidthLimiterTest, PassWaitsWhileCallsGoUnanswered) {
  use_fake_clock(0);
  ASSERT_TRUE(set_up_bandwidth_limiter(2000000));  // no pacing delay
  note_call_started();
  FakeClock::now = 9000 * kMs;
  throttle();
  EXPECT_TRUE(FakeClock::sleeps.empty());  // not yet 10 s without an answer

  FakeClock::now = 10000 * kMs;
  raise_after_first_sleep = &link_lost;
  throttle();
  raise_after_first_sleep = nullptr;
  link_lost.store(false);
  EXPECT_EQ(FakeClock::sleeps.size(), 1u);  // held until the halt

  note_call_ended();
  FakeClock::sleeps.clear();
  note_call_started();  // the next call, just started: an answer came now
  throttle();
  EXPECT_TRUE(FakeClock::sleeps.empty());
  note_call_ended();
  FakeClock::now += 60000 * kMs;
  throttle();  // nothing out: a long quiet spell holds nothing
  EXPECT_TRUE(FakeClock::sleeps.empty());
}

TEST_F(BandwidthLimiterTest, PassesFromOneThreadAreOneIntervalApart) {
  use_fake_clock(0);
  ASSERT_TRUE(set_up_bandwidth_limiter(40960));  // 20 ms
  std::int64_t previous = bandwidth_limiter->last_pass_ns;
  for (int i = 0; i < 5; ++i) {
    FakeClock::now += 3 * kMs;  // work between passes counts towards the interval
    throttle();
    EXPECT_EQ(bandwidth_limiter->last_pass_ns - previous, 20 * kMs);
    previous = bandwidth_limiter->last_pass_ns;
  }
  EXPECT_EQ(FakeClock::slept(), 5 * 17 * kMs);
}

TEST_F(BandwidthLimiterTest, ZeroIntervalRecordsPassesWithoutSleeping) {
  use_fake_clock(0);
  ASSERT_TRUE(set_up_bandwidth_limiter(2000000));
  for (int i = 1; i <= 3; ++i) {
    FakeClock::now = i * kMs;
    throttle();
    EXPECT_EQ(bandwidth_limiter->last_pass_ns, i * kMs);
  }
  EXPECT_TRUE(FakeClock::sleeps.empty());
}

// Real threads and the real clock: whichever thread passes, the k-th pass
// comes at least k intervals after the set-up. Each thread notes the time
// after its throttle returns, which is never before its pass; so the k-th
// earliest note is never before the k-th pass either.
TEST_F(BandwidthLimiterTest, PassesFromManyThreadsAreSpacedByTheInterval) {
  constexpr int kThreads = 4;
  constexpr int kPassesEach = 3;
  const auto interval = std::chrono::milliseconds(50);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(set_up_bandwidth_limiter(20480));  // 50 ms

  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> passes;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPassesEach; ++i) {
        throttle();
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        passes.push_back(now);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  ASSERT_EQ(passes.size(), static_cast<std::size_t>(kThreads * kPassesEach));
  std::sort(passes.begin(), passes.end());
  for (std::size_t k = 0; k < passes.size(); ++k) {
    EXPECT_GE(passes[k] - start, interval * static_cast<int>(k + 1)) << "pass " << k + 1;
  }
}

}  // namespace
