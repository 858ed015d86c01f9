// Many threads hash distinct buffers through one combiner at once; each must
// get its own message's digest back, and none may be left waiting.
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "digest/digest.h"
#include "digest/lane_plan.h"
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
    // Every whole block of every message was hashed exactly once, in steps
    // no wider than the lanes.
    std::uint64_t whole_blocks = 0;
    for (int t = 0; t < threads; ++t) {
      for (int r = 0; r < rounds; ++r) whole_blocks += sizes[(t + r) % sizes.size()] / 64;
    }
    const HashCombiner::Stats stats = combiner.stats();
    EXPECT_EQ(stats.digests, static_cast<std::size_t>(threads * rounds));
    std::uint64_t blocks = 0;
    for (std::size_t lanes = 1; lanes < stats.blocks_by_lanes.size(); ++lanes) {
      blocks += stats.blocks_by_lanes[lanes];
      if (lanes > combiner.width()) {
        EXPECT_EQ(stats.blocks_by_lanes[lanes], 0u) << lanes;
      }
    }
    EXPECT_EQ(blocks, whole_blocks);
  }
};

TEST_P(HashCombinerTest, OneThreadHashesAlone) {
  HashCombiner combiner(GetParam());
  std::uint8_t digest[16];
  combiner.digest(reinterpret_cast<const std::uint8_t*>("abc"), 3, digest);
  const std::uint8_t expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                     0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_EQ(std::memcmp(digest, expected, 16), 0);
  EXPECT_EQ(combiner.stats().digests, 1u);
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

// Threads that come and go at random, each message joining the lanes while
// others are half-way through: the stepping passes from thread to thread
// and every digest is still right.
TEST_P(HashCombinerTest, MessagesJoinWhileOthersAreHalfWay) {
  HashCombiner combiner(GetParam());
  run(combiner, 5, 30, {1048576, 300000, 4160, 64, 70001});
}

// Announcements end however their owner lets go of them (done, a new one
// assigned over it, a plain destruction, one that never announced), while
// other threads hash: every digest is right and no thread is left waiting
// for a partner that was announced and never came.
TEST_P(HashCombinerTest, AnnouncementsEndOnEveryPath) {
  HashCombiner combiner(GetParam());
  std::atomic<int> wrong{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 12; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t) + 99u);
      std::vector<std::uint8_t> data(262144 + 64 * static_cast<std::size_t>(t));
      HashCombiner::Arrival kept;
      for (int round = 0; round < 8; ++round) {
        HashCombiner::Arrival arrival = combiner.expect();
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        std::uint8_t expected[16];
        scalar_digest(data, expected);
        switch (round % 4) {
          case 0:
            arrival.done();
            arrival.done();
            break;
          case 1:
            kept = std::move(arrival);
            break;  // ends the one kept before
          case 2:
            arrival = HashCombiner::Arrival();
            break;
          default:
            break;  // ends at the end of the round
        }
        // Every other message turns out to need no digest.
        if (round % 2 == 1) continue;
        std::uint8_t got[16];
        combiner.digest(data.data(), data.size(), got);
        if (std::memcmp(got, expected, 16) != 0) ++wrong;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(combiner.stats().digests, 12u * 4u);
  // With every announcement ended, a lone message is hashed at once.
  std::uint8_t digest[16];
  combiner.digest(reinterpret_cast<const std::uint8_t*>("abc"), 3, digest);
  EXPECT_EQ(digest[0], 0x90);
}

INSTANTIATE_TEST_SUITE_P(Lanes, HashCombinerTest,
                         ::testing::Values(Md5Lanes::kScalar, Md5Lanes::kAvx2, Md5Lanes::kAvx512),
                         [](const ::testing::TestParamInfo<Md5Lanes>& info) {
                           return std::string(md5_lanes_name(info.param));
                         });

}  // namespace

namespace md5_detail {
namespace {

// Every plan takes each message exactly once, in groups no wider than
// their engine, never through lanes beyond the widest allowed, and a lone
// message goes by itself.
TEST(LanePlanTest, TakesEachMessageOnceWithinTheAllowedLanes) {
  for (const Md5Lanes widest : {Md5Lanes::kScalar, Md5Lanes::kAvx2, Md5Lanes::kAvx512}) {
    EXPECT_TRUE(lane_plan(widest, 1).alone());
    for (std::size_t count = 1; count <= 16; ++count) {
      const LanePlan& plan = lane_plan(widest, count);
      std::size_t taken = 0;
      for (std::size_t g = 0; g < plan.groups; ++g) {
        const LaneGroup& group = plan.group[g];
        EXPECT_GE(group.count, 1u);
        EXPECT_LE(group.count, group.width);
        EXPECT_LE(group.width, widest_group(widest)) << md5_lanes_name(widest) << " " << count;
        // Never an instruction set wider than allowed (the CPU may lack it).
        if (widest != Md5Lanes::kAvx512 && group.kernel != nullptr) {
          EXPECT_NE(group.kernel, lane_kernel(Md5Lanes::kAvx512)) << count;
        }
        EXPECT_EQ(group.kernel == nullptr, group.width == 1);
        taken += group.count;
      }
      EXPECT_EQ(taken, count) << md5_lanes_name(widest);
    }
  }
}

}  // namespace
}  // namespace md5_detail
