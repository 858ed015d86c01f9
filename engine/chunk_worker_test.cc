// The pure pieces of the worker: the progress line's speed and units, and
// the dispenser's hand-out under concurrency and at its limits.
#include "engine/chunk_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "records/records.h"
#include "dcerpc/rpc.h"

namespace {

TEST(ProgressLine, UnitBoundariesAreStrictlyLessThan) {
  // 102400000 ms for 100 MiB is exactly 1024 B/s; 100000 ms exactly 1 MiB/s.
  EXPECT_EQ(progress_speed(102400000), 1024.0f);
  EXPECT_EQ(format_speed(progress_speed(102400000)), L"1.00 KB/s");
  EXPECT_EQ(progress_speed(100000), 1048576.0f);
  EXPECT_EQ(format_speed(progress_speed(100000)), L"1.00 MB/s");
  EXPECT_EQ(format_speed(1023.99f), L"1023.99 B/s");
  EXPECT_EQ(format_speed(1048575.0f), L"1024.00 KB/s");
}

TEST(ProgressLine, NoTimeElapsedIsAnInfiniteSpeedInMegabytes) {
  // The field width of four pads the three letters.
  EXPECT_EQ(format_speed(progress_speed(0)), L" inf MB/s");
}

TEST(ProgressLine, SmallValuesKeepTwoDecimals) {
  EXPECT_EQ(format_speed(0.5f), L"0.50 B/s");
  EXPECT_EQ(format_speed(0.0f), L"0.00 B/s");
  // The longest elapsed time a 32-bit reading allows: about 48.83 B/s.
  EXPECT_EQ(format_speed(progress_speed(std::numeric_limits<std::int32_t>::max())), L"48.83 B/s");
}

TEST(ProgressLine, CarriesTheOffsetInFullAndTheSpeed) {
  EXPECT_EQ(progress_line(104857600, 1000), L"Replicated bytes: 104857600, speed: 100.00 MB/s");
  // Beyond 4 GiB the offset is written as a whole 64-bit number.
  EXPECT_EQ(progress_line(5368709120ull, 2000), L"Replicated bytes: 5368709120, speed: 50.00 MB/s");
  EXPECT_EQ(progress_line(209715200, 512000), L"Replicated bytes: 209715200, speed: 200.00 KB/s");
}

class DispenserTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&lock_, 100)); }
  void TearDown() override { DeleteCriticalSection(&lock_); }

  ChunkDispenser make(std::uint64_t total_size) { return ChunkDispenser{0, total_size, &lock_}; }

  std::vector<std::uint64_t> take_all(ChunkDispenser* dispenser) {
    std::vector<std::uint64_t> offsets;
    std::uint64_t offset = 0;
    while (take_chunk(dispenser, kChunkLength, &offset)) offsets.push_back(offset);
    return offsets;
  }

  CRITICAL_SECTION lock_;
};

TEST_F(DispenserTest, HandsOutEveryChunkThatStartsBelowTheSize) {
  constexpr std::uint64_t kMiB = kChunkLength;
  struct Case {
    std::uint64_t size;
    std::vector<std::uint64_t> offsets;
  };
  const Case cases[] = {
      {0, {}},
      {1, {0}},
      {kMiB - 1, {0}},
      {kMiB, {0}},
      {kMiB + 1, {0, kMiB}},
      {3 * kMiB, {0, kMiB, 2 * kMiB}},
      {3 * kMiB + 512, {0, kMiB, 2 * kMiB, 3 * kMiB}},
  };
  for (const Case& c : cases) {
    ChunkDispenser dispenser = make(c.size);
    EXPECT_EQ(take_all(&dispenser), c.offsets) << "size " << c.size;
    // Once empty it stays empty.
    std::uint64_t offset = 77;
    EXPECT_FALSE(take_chunk(&dispenser, kChunkLength, &offset));
    EXPECT_EQ(offset, 77u);
  }
}

TEST_F(DispenserTest, DoesNotWrapAroundNearTheTopOfTheRange) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  ChunkDispenser dispenser = make(kMax);
  dispenser.next_offset = kMax - 10;
  std::uint64_t offset = 0;
  ASSERT_TRUE(take_chunk(&dispenser, kChunkLength, &offset));
  EXPECT_EQ(offset, kMax - 10);
  EXPECT_FALSE(take_chunk(&dispenser, kChunkLength, &offset));
}

TEST_F(DispenserTest, DrainedDispenserHandsOutNothingMore) {
  ChunkDispenser dispenser = make(100ull * kChunkLength);
  std::uint64_t offset = 0;
  ASSERT_TRUE(take_chunk(&dispenser, kChunkLength, &offset));
  drain_dispenser(&dispenser);
  EXPECT_FALSE(take_chunk(&dispenser, kChunkLength, &offset));
}

TEST_F(DispenserTest, ConcurrentTakersGetEachChunkExactlyOnce) {
  constexpr std::uint64_t kChunks = 20000;
  ChunkDispenser dispenser = make(kChunks * kChunkLength);
  std::vector<std::vector<std::uint64_t>> taken(8);
  std::vector<std::thread> threads;
  for (auto& mine : taken) {
    threads.emplace_back([&dispenser, &mine] {
      std::uint64_t offset = 0;
      while (take_chunk(&dispenser, kChunkLength, &offset)) mine.push_back(offset);
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::uint64_t> all;
  for (const auto& mine : taken) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), kChunks);
  for (std::uint64_t i = 0; i < kChunks; ++i) ASSERT_EQ(all[i], i * kChunkLength);
}

}  // namespace
