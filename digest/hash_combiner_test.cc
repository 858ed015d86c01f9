// Many threads hash distinct buffers through one combiner at once; each must
// get its own message's digest back, and none may be left waiting.
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "digest/digest.h"
#include "gtest/gtest.h"

namespace {

void scalar_digest(const std::vector<std::uint8_t>& data, std::uint8_t (&out)[16]) {
  Md5Context context;
  md5_init(&context);
  md5_update(&context, data.data(), static_cast<std::uint32_t>(data.size()));
  md5_final(out, &context);
}

class HashCombinerTest : public ::testing::TestWithParam<Md5Lanes> {
 protected:
  void SetUp() override {
    if (!md5_lanes_supported(GetParam())) GTEST_SKIP() << "this CPU lacks these lanes";
  }

  // `threads` threads each hash `rounds` messages of their own, with sizes
  // drawn from `sizes`, and count the digests that differ from the engine's.
  void run(HashCombiner& combiner, int threads, int rounds, std::vector<std::size_t> sizes) {
    std::atomic<int> wrong{0};
    std::atomic<int> hashed{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1);
        for (int r = 0; r < rounds; ++r) {
          std::vector<std::uint8_t> data(sizes[(t + r) % sizes.size()]);
          for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
          std::uint8_t expected[16];
          scalar_digest(data, expected);
          std::uint8_t got[16];
          std::memset(got, 0, sizeof got);
          combiner.digest(data.data(), data.size(), got);
          if (std::memcmp(got, expected, 16) != 0) ++wrong;
          ++hashed;
        }
      });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(hashed.load(), threads * rounds);
    const HashCombiner::Stats stats = combiner.stats();
    EXPECT_EQ(stats.messages, static_cast<std::size_t>(threads * rounds));
    EXPECT_LE(stats.batches, stats.messages);
    // The histogram accounts for every pass and every message, and no pass
    // is wider than the lanes.
    std::size_t passes = 0, messages = 0;
    for (std::size_t size = 1; size < stats.by_size.size(); ++size) {
      passes += stats.by_size[size];
      messages += size * stats.by_size[size];
      if (size > combiner.width()) {
        EXPECT_EQ(stats.by_size[size], 0u) << size;
      }
    }
    EXPECT_EQ(passes, stats.batches);
    EXPECT_EQ(messages, stats.messages);
  }
};

TEST_P(HashCombinerTest, OneThreadHashesAlone) {
  HashCombiner combiner(GetParam());
  std::uint8_t digest[16];
  combiner.digest(reinterpret_cast<const std::uint8_t*>("abc"), 3, digest);
  const std::uint8_t expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                     0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_EQ(std::memcmp(digest, expected, 16), 0);
  EXPECT_EQ(combiner.stats().batches, 1u);
  EXPECT_EQ(combiner.stats().by_size[1], 1u);
  EXPECT_EQ(HashCombiner::describe(combiner.stats()), "1 digests in 1 passes (mean 1.00; by size: 1:1)");
}

TEST_P(HashCombinerTest, SixteenThreadsWithChunks) {
  HashCombiner combiner(GetParam());
  run(combiner, 16, 4, {1048576});
}

// More threads than lanes, small and mixed sizes: the queue is busy and
// threads take over from one another often.
TEST_P(HashCombinerTest, ManyThreadsWithMixedSizes) {
  HashCombiner combiner(GetParam());
  run(combiner, 24, 40, {0, 1, 63, 64, 65, 1000, 4096, 70000});
}

// A message announced but never hashed (a chunk of zeros, a failed read)
// must not hold the others: arrived() ends the wait at once, long before
// the gather bound.
TEST_P(HashCombinerTest, ArrivalWithoutDigestEndsTheWait) {
  HashCombiner combiner(GetParam(), std::chrono::hours(1));
  combiner.expect();
  std::uint8_t digest[16];
  std::thread hasher([&] { combiner.digest(reinterpret_cast<const std::uint8_t*>("abc"), 3, digest); });
  combiner.arrived();
  hasher.join();
  EXPECT_EQ(digest[0], 0x90);
  EXPECT_EQ(digest[15], 0x72);
}

// An announcement that never arrives costs at most the bound; the digest is
// still right.
TEST_P(HashCombinerTest, MissingArrivalCostsAtMostTheBound) {
  HashCombiner combiner(GetParam(), std::chrono::milliseconds(20));
  combiner.expect();
  std::uint8_t digest[16];
  combiner.digest(reinterpret_cast<const std::uint8_t*>("abc"), 3, digest);
  combiner.arrived();
  EXPECT_EQ(digest[0], 0x90);
  EXPECT_EQ(combiner.stats().by_size[1], 1u);
}

// Workers announce their reads, as the client's do: every digest is right,
// every thread returns, whoever hashes with whom.
TEST_P(HashCombinerTest, AnnouncedMessagesFromManyThreads) {
  HashCombiner combiner(GetParam(), std::chrono::milliseconds(50));
  std::atomic<int> wrong{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 16; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t) + 99u);
      std::vector<std::uint8_t> data(65536 + 64 * static_cast<std::size_t>(t));
      for (int round = 0; round < 6; ++round) {
        combiner.expect();
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        std::uint8_t expected[16];
        scalar_digest(data, expected);
        combiner.arrived();
        // Every third message turns out to need no digest.
        if (round % 3 == 2) continue;
        std::uint8_t got[16];
        combiner.digest(data.data(), data.size(), got);
        if (std::memcmp(got, expected, 16) != 0) ++wrong;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(combiner.stats().messages, 16u * 4u);
}

INSTANTIATE_TEST_SUITE_P(Lanes, HashCombinerTest,
                         ::testing::Values(Md5Lanes::kScalar, Md5Lanes::kAvx2, Md5Lanes::kAvx512),
                         [](const ::testing::TestParamInfo<Md5Lanes>& info) {
                           return std::string(md5_lanes_name(info.param));
                         });

}  // namespace
