// Checks md5_many against the scalar engine on every instruction set this
// CPU has, with ragged lengths, shared and misaligned data, and RFC 1321's
// own test messages.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "digest/lane_kernels.h"
#include "digest/md5_steps.h"
#include "gtest/gtest.h"

namespace {

std::string hex(const std::uint8_t (&digest)[16]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::string scalar_hex(const std::uint8_t* data, std::size_t length) {
  Md5Context context;
  md5_init(&context);
  md5_update(&context, data, static_cast<std::uint32_t>(length));
  std::uint8_t digest[16];
  md5_final(digest, &context);
  return hex(digest);
}

class Md5LanesTest : public ::testing::TestWithParam<Md5Lanes> {
 protected:
  void SetUp() override {
    if (!md5_lanes_supported(GetParam()))
      GTEST_SKIP() << "this CPU lacks " << md5_lanes_name(GetParam());
  }

  // Hashes the messages with the lanes under test and expects each digest
  // to be the scalar engine's.
  void expect_scalar_digests(const std::vector<const std::uint8_t*>& data,
                             const std::vector<std::size_t>& lengths) {
    std::vector<std::uint8_t[16]> digests(data.size());
    // Poison, so that a digest never written is noticed.
    std::memset(digests.data(), 0xa5, 16 * digests.size());
    md5_many_using(GetParam(), data.data(), lengths.data(), digests.data(), data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
      EXPECT_EQ(hex(digests[i]), scalar_hex(data[i], lengths[i]))
          << "message " << i << " of " << data.size() << ", " << lengths[i] << " bytes";
    }
  }

  std::mt19937 random_{12345};
};

TEST_P(Md5LanesTest, RfcVectorsInOneCall) {
  const char* messages[] = {"",
                            "a",
                            "abc",
                            "message digest",
                            "abcdefghijklmnopqrstuvwxyz",
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                            "1234567890123456789012345678901234567890123456789012345678901234"
                            "5678901234567890"};
  const char* expected[] = {"d41d8cd98f00b204e9800998ecf8427e", "0cc175b9c0f1b6a831c399e269772661",
                            "900150983cd24fb0d6963f7d28e17f72", "f96b697d7cb7938d525a2f31aaf161d0",
                            "c3fcd3d76192e4007dfb496cca67e13b", "d174ab98d277d9f5a5611c2c9f419d9f",
                            "57edf4a22be3c955ac49da2e2107b67a"};
  std::vector<const std::uint8_t*> data;
  std::vector<std::size_t> lengths;
  for (const char* message : messages) {
    data.push_back(reinterpret_cast<const std::uint8_t*>(message));
    lengths.push_back(std::strlen(message));
  }
  std::vector<std::uint8_t[16]> digests(data.size());
  md5_many_using(GetParam(), data.data(), lengths.data(), digests.data(), data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    EXPECT_EQ(hex(digests[i]), expected[i]) << '"' << messages[i] << '"';
  }
}

// Equal lengths of whole blocks keep every lane busy to the end; the copies
// of one message lying at every offset modulo 64 catch a lane reading
// another lane's words or a transpose that mixes up rows.
TEST_P(Md5LanesTest, WholeBlocksAtEveryAlignment) {
  std::vector<std::uint8_t> storage(64 * 20 + 64 + 17);
  for (auto& byte : storage) byte = static_cast<std::uint8_t>(random_());
  for (std::size_t count = 1; count <= 17; ++count) {
    std::vector<const std::uint8_t*> data;
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < count; ++i) {
      data.push_back(storage.data() + (i * 7) % 64 + i);
      lengths.push_back(64 * 20);
    }
    expect_scalar_digests(data, lengths);
  }
}

TEST_P(Md5LanesTest, RandomLengthsForEveryCount) {
  std::vector<std::uint8_t> storage(17 * 5001 + 64);
  for (auto& byte : storage) byte = static_cast<std::uint8_t>(random_());
  std::uniform_int_distribution<std::size_t> length_of(0, 5000);
  std::uniform_int_distribution<std::size_t> skew(0, 63);
  for (int round = 0; round < 4; ++round) {
    for (std::size_t count = 1; count <= 17; ++count) {
      std::vector<const std::uint8_t*> data;
      std::vector<std::size_t> lengths;
      for (std::size_t i = 0; i < count; ++i) {
        data.push_back(storage.data() + i * 5001 + skew(random_));
        lengths.push_back(length_of(random_));
      }
      expect_scalar_digests(data, lengths);
    }
  }
}

// Lengths around block and padding boundaries, including ones where a lane
// runs out of blocks while the others go on.
TEST_P(Md5LanesTest, BoundaryLengths) {
  std::vector<std::uint8_t> storage(300);
  for (auto& byte : storage) byte = static_cast<std::uint8_t>(random_());
  const std::size_t boundaries[] = {0,   1,   55,  56,  57,  63,  64, 65,
                                    119, 120, 128, 191, 192, 255, 256};
  std::vector<const std::uint8_t*> data;
  std::vector<std::size_t> lengths;
  for (std::size_t length : boundaries) {
    data.push_back(storage.data() + 1);
    lengths.push_back(length);
  }
  expect_scalar_digests(data, lengths);
}

TEST_P(Md5LanesTest, ChunkSizedMessages) {
  constexpr std::size_t kChunk = 1048576;
  std::vector<std::uint8_t> storage(16 * kChunk + 16);
  for (std::size_t i = 0; i < storage.size(); i += 4) {
    const std::uint32_t word = static_cast<std::uint32_t>(random_());
    std::memcpy(&storage[i], &word, std::min<std::size_t>(4, storage.size() - i));
  }
  std::vector<const std::uint8_t*> data;
  std::vector<std::size_t> lengths;
  for (std::size_t i = 0; i < 16; ++i) {
    data.push_back(storage.data() + i * kChunk + i);
    // One shorter message makes the other lanes go on without it.
    lengths.push_back(i == 5 ? kChunk - 1000 : kChunk);
  }
  expect_scalar_digests(data, lengths);
  // A group of a few, as a server with little traffic forms.
  data.resize(3);
  lengths.resize(3);
  expect_scalar_digests(data, lengths);
}

// Many lanes over one buffer: identical messages must still give identical,
// correct digests.
TEST_P(Md5LanesTest, SameBufferInEveryLane) {
  std::vector<std::uint8_t> storage(4096 + 17);
  for (auto& byte : storage) byte = static_cast<std::uint8_t>(random_());
  std::vector<const std::uint8_t*> data(16, storage.data() + 3);
  std::vector<std::size_t> lengths(16, 4096 + 13);
  expect_scalar_digests(data, lengths);
}

INSTANTIATE_TEST_SUITE_P(Lanes, Md5LanesTest,
                         ::testing::Values(Md5Lanes::kScalar, Md5Lanes::kAvx2, Md5Lanes::kAvx512),
                         [](const ::testing::TestParamInfo<Md5Lanes>& info) {
                           return std::string(md5_lanes_name(info.param));
                         });

// The interleaved rounds leave each message's chaining words exactly as the
// scalar engine does, with different data and starting words in each lane
// and lanes past the kernel's width untouched.
// The interleaved rounds, and the AVX2 kernel that runs two sets of eight
// lanes side by side (where the CPU has AVX2).
TEST(Md5Interleaved, EachLaneAsTheScalarEngine) {
  std::mt19937 random(777);
  std::vector<std::uint8_t> storage(md5_detail::kMaxLanes * 64 * 9 + 5);
  for (auto& byte : storage) byte = static_cast<std::uint8_t>(random());
  std::vector<std::pair<md5_detail::BlocksFunction, std::size_t>> kernels = {
      {md5_detail::md5_interleaved_2, 2},
      {md5_detail::md5_interleaved_3, 3},
      {md5_detail::md5_interleaved_4, 4}};
  if (md5_detail::avx2_pair_kernel() != nullptr) {
    kernels.emplace_back(md5_detail::avx2_pair_kernel(), 16);
  }
  for (const auto& [kernel, width] : kernels) {
    alignas(64) std::uint32_t state[4][md5_detail::kMaxLanes];
    const std::uint8_t* feed[md5_detail::kMaxLanes] = {};
    std::uint32_t expected[md5_detail::kMaxLanes][4];
    for (std::size_t lane = 0; lane < md5_detail::kMaxLanes; ++lane) {
      for (int w = 0; w < 4; ++w) state[w][lane] = static_cast<std::uint32_t>(random());
    }
    for (std::size_t lane = 0; lane < width; ++lane) {
      // Misaligned on purpose.
      feed[lane] = storage.data() + 1 + lane * 64 * 9;
      for (int w = 0; w < 4; ++w) expected[lane][w] = state[w][lane];
      md5_detail::md5_blocks(expected[lane], feed[lane], 9);
    }
    const std::uint32_t beyond = state[0][std::min(width, md5_detail::kMaxLanes - 1)];
    kernel(feed, 9, state);
    for (std::size_t lane = 0; lane < width; ++lane) {
      for (int w = 0; w < 4; ++w) {
        EXPECT_EQ(state[w][lane], expected[lane][w]) << width << " lanes, lane " << lane;
      }
    }
    if (width < md5_detail::kMaxLanes) {
      EXPECT_EQ(state[0][width], beyond);
    }
  }
}

TEST(Md5LanesDispatch, BestIsSupportedAndWidthsMatch) {
  EXPECT_TRUE(md5_lanes_supported(md5_lanes_best()));
  EXPECT_EQ(md5_lane_width(Md5Lanes::kScalar), 1u);
  EXPECT_EQ(md5_lane_width(Md5Lanes::kAvx2), 8u);
  EXPECT_EQ(md5_lane_width(Md5Lanes::kAvx512), 16u);
  // md5_many goes through the best lanes and must agree with the engine.
  const std::uint8_t* data[2] = {reinterpret_cast<const std::uint8_t*>("abc"),
                                 reinterpret_cast<const std::uint8_t*>("message digest")};
  const std::size_t lengths[2] = {3, 14};
  std::uint8_t digests[2][16];
  md5_many(data, lengths, digests, 2);
  EXPECT_EQ(hex(digests[0]), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hex(digests[1]), "f96b697d7cb7938d525a2f31aaf161d0");
}

}  // namespace
