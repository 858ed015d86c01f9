// The group-commit gate on its own, with flushes the tests hold and release.
#include "server/flush_gate.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "server/status.h"

namespace {

// A flush that blocks until released, and counts how often it ran.
class HeldFlush {
 public:
  Status operator()() {
    std::unique_lock lock(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_ >= started_; });
    return Status::ok();
  }
  void wait_started(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return started_ >= count; });
  }
  void release(int count) {
    std::lock_guard lock(mutex_);
    released_ = count;
    changed_.notify_all();
  }
  int started() {
    std::lock_guard lock(mutex_);
    return started_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int started_ = 0;
  int released_ = 0;
};

// Callers that arrive while a flush runs are not covered by it: they wait
// for the next one, and all of them share it.
TEST(FlushGateTest, CallersArrivingDuringAFlushShareTheNextOne) {
  FlushGate gate;
  HeldFlush held;
  const FlushGate::Flush flush = [&] { return held(); };
  std::thread first([&] { EXPECT_TRUE(gate.wait(flush).is_ok()); });
  held.wait_started(1);

  constexpr int kLater = 4;
  std::atomic<int> returned{0};
  std::vector<std::thread> later;
  for (int i = 0; i < kLater; ++i) {
    later.emplace_back([&] {
      EXPECT_TRUE(gate.wait(flush).is_ok());
      ++returned;
    });
  }
  while (gate.waiting() < 1 + kLater) std::this_thread::yield();
  held.release(1);
  first.join();
  // The first flush is over, yet none of the later callers may be done.
  held.wait_started(2);
  EXPECT_EQ(returned, 0);
  held.release(2);
  for (auto& thread : later) thread.join();
  EXPECT_EQ(returned, kLater);
  EXPECT_EQ(held.started(), 2);
  EXPECT_EQ(gate.waiting(), 0u);
}

TEST(FlushGateTest, TheFirstFailureSticksThoughLaterFlushesSucceed) {
  FlushGate gate;
  int flushes = 0;
  bool fail = false;
  const FlushGate::Flush flush = [&] {
    ++flushes;
    return fail ? Status::failure(8, "fdatasync: EIO") : Status::ok();
  };
  EXPECT_TRUE(gate.wait(flush).is_ok());
  fail = true;
  EXPECT_EQ(gate.wait(flush).message(), "fdatasync: EIO");
  fail = false;
  // Still flushed, for what it is worth, and still failed.
  const Status later = gate.wait(flush);
  EXPECT_EQ(later.code(), 8);
  EXPECT_EQ(flushes, 3);
  // A failure handed in later does not replace the first.
  bool first = true;
  EXPECT_EQ(gate.stick(Status::failure(9, "changed"), &first).code(), 8);
  EXPECT_FALSE(first);
  EXPECT_EQ(gate.status().message(), "fdatasync: EIO");

  FlushGate other;
  EXPECT_EQ(other.stick(Status::failure(9, "changed"), &first).code(), 9);
  EXPECT_TRUE(first);
  EXPECT_EQ(other.wait(flush).code(), 9);
}

}  // namespace
