// Checks the digest against RFC 1321's own test suite and digests from an
// independent implementation, the padding boundaries, piecewise updates, the
// cleared context, the shared step table and the zero-chunk helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "digest/digest.h"
#include "digest/md5_steps.h"

namespace {

std::string hex(const std::uint8_t digest[16]) {
  std::string text;
  char pair[3];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    text += pair;
  }
  return text;
}

std::string digest_of(const std::uint8_t* data, std::size_t length) {
  Md5Context context;
  md5_init(&context);
  md5_update(&context, data, static_cast<std::uint32_t>(length));
  std::uint8_t out[16];
  md5_final(out, &context);
  return hex(out);
}

std::string digest_of(std::string_view text) {
  return digest_of(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Bytes that differ from block to block and from position to position, so
// that a word taken from the wrong place changes the digest.
std::vector<std::uint8_t> pattern(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return bytes;
}

TEST(Md5Test, ReproducesTheRfc1321Suite) {
  EXPECT_EQ(digest_of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(digest_of("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(digest_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(digest_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(digest_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(digest_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(digest_of("1234567890123456789012345678901234567890"
                      "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// Around 56 bytes the length no longer fits the block that holds the 0x80,
// and the final step must process a second block.
TEST(Md5Test, PadsEveryLengthAroundTheBlockEnd) {
  const struct {
    std::size_t length;
    const char* digest;
  } cases[] = {
      {55, "8c3eb046bcdb1f0ffe75fdbaf890cf13"}, {56, "d5e0fa3122448ddd3d843a9c5ed9e839"},
      {63, "1dd0d6ddeb881b118518c2881555f34b"}, {64, "7b412e00d38c31b0845a4f502d39d5e3"},
      {65, "ba03b626aceb7b09c86c2d544afe1dce"},
  };
  for (const auto& c : cases) {
    const auto bytes = pattern(c.length);
    EXPECT_EQ(digest_of(bytes.data(), bytes.size()), c.digest) << c.length << " bytes";
  }
}

TEST(Md5Test, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
  const auto bytes = pattern(3 + 70 + 1 + 200 + 64 + 17);
  const std::string whole = digest_of(bytes.data(), bytes.size());

  Md5Context context;
  md5_init(&context);
  std::size_t at = 0;
  for (std::uint32_t piece : {3u, 70u, 1u, 200u, 64u, 17u}) {
    md5_update(&context, bytes.data() + at, piece);
    at += piece;
  }
  std::uint8_t out[16];
  md5_final(out, &context);
  EXPECT_EQ(hex(out), whole);
}

TEST(Md5Test, EmptyPiecesChangeNothing) {
  const auto bytes = pattern(130);
  Md5Context context;
  md5_init(&context);
  md5_update(&context, nullptr, 0);
  md5_update(&context, bytes.data(), 63);
  md5_update(&context, bytes.data() + 63, 0);
  md5_update(&context, bytes.data() + 63, 67);
  std::uint8_t out[16];
  md5_final(out, &context);
  EXPECT_EQ(hex(out), digest_of(bytes.data(), bytes.size()));
}

// Every split point of a message longer than two blocks, so that each fill
// level of the partial block meets the top-up path.
TEST(Md5Test, EverySplitPointAgreesWithOneCall) {
  const auto bytes = pattern(200);
  const std::string whole = digest_of(bytes.data(), bytes.size());
  for (std::uint32_t split = 0; split <= bytes.size(); ++split) {
    Md5Context context;
    md5_init(&context);
    md5_update(&context, bytes.data(), split);
    md5_update(&context, bytes.data() + split, static_cast<std::uint32_t>(bytes.size() - split));
    std::uint8_t out[16];
    md5_final(out, &context);
    ASSERT_EQ(hex(out), whole) << "split at " << split;
  }
}

TEST(Md5Test, FinalLeavesOnlyZeroBytesInTheContext) {
  const auto bytes = pattern(100);
  Md5Context context;
  md5_init(&context);
  md5_update(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::uint8_t out[16];
  md5_final(out, &context);

  Md5Context zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&context, &zero, sizeof context), 0);
}

TEST(Md5Test, CountsTheLengthAcrossTheLowPartsLimit) {
  // 2^29 bytes is where the count's low part wraps into the high part; the
  // digest of 2^29 + 100 zero bytes comes from an independent implementation.
  const std::uint32_t piece = 1u << 20;
  std::vector<std::uint8_t> zeros(piece);
  Md5Context context;
  md5_init(&context);
  for (int i = 0; i < 512; ++i) md5_update(&context, zeros.data(), piece);
  EXPECT_EQ(context.count_low, 0u);
  EXPECT_EQ(context.count_high, 1u);
  md5_update(&context, zeros.data(), 100);
  std::uint8_t out[16];
  md5_final(out, &context);
  EXPECT_EQ(hex(out), "2fd298086ae19f076b408e275af7598c");
}

TEST(Md5Test, LargeInputMatchesAKnownDigest) {
  const auto bytes = pattern(3 * 1048576 + 5);
  EXPECT_EQ(digest_of(bytes.data(), bytes.size()), "a84e1dec4e65b0418ec86f88e2e41c7a");
}

TEST(Md5Test, TheDigestDependsOnTheBytesAlone) {
  // Equal data at two addresses, one of them not word aligned.
  std::vector<std::uint8_t> storage(2 * 4096 + 3);
  const auto bytes = pattern(4096);
  std::memcpy(storage.data(), bytes.data(), bytes.size());
  std::memcpy(storage.data() + 4096 + 3, bytes.data(), bytes.size());
  EXPECT_EQ(digest_of(storage.data(), 4096), digest_of(storage.data() + 4096 + 3, 4096));
}

TEST(Md5Test, ZeroChunkDigestIsTheDigestOfOneMebibyteOfZeros) {
  std::vector<std::uint8_t> zeros(1048576);
  Md5Context context;
  md5_init(&context);
  md5_update(&context, zeros.data(), static_cast<std::uint32_t>(zeros.size()));
  std::uint8_t out[16];
  md5_final(out, &context);
  EXPECT_EQ(std::memcmp(out, kZeroChunkDigest, 16), 0) << hex(out);
  EXPECT_EQ(hex(kZeroChunkDigest), "b6d81b360a5672d80c27430f39153e2c");
}

// The one table that the scalar engine and every lane width expand. Each
// step against RFC 1321's definitions: constant i is floor(|sin(i + 1)| *
// 2^32), the shifts repeat per round, the message words follow each round's
// order and the chaining words rotate a, d, c, b.
TEST(Md5Test, StepTableFollowsTheRfc1321Definitions) {
  struct Step {
    char round;
    char target;
    int word;
    std::uint32_t constant;
    int shift;
  };
#define MD5_TEST_STEP(fn, a, b, c, d, i, k, s) {#fn[0], #a[0], i, k, s},
  const Step steps[] = {MD5_ALL_STEPS(MD5_TEST_STEP)};
#undef MD5_TEST_STEP
  ASSERT_EQ(std::size(steps), 64u);
  const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    const int j = i % 16;
    const int word[4] = {j, (5 * j + 1) % 16, (3 * j + 5) % 16, (7 * j) % 16};
    EXPECT_EQ(steps[i].round, "FGHI"[round]) << "step " << i;
    EXPECT_EQ(steps[i].target, "adcb"[i % 4]) << "step " << i;
    EXPECT_EQ(steps[i].word, word[round]) << "step " << i;
    EXPECT_EQ(steps[i].shift, shifts[round][i % 4]) << "step " << i;
    const auto constant =
        static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    EXPECT_EQ(steps[i].constant, constant) << "step " << i;
  }
}

class IsAllZeroTest : public ::testing::Test {
 protected:
  // Room for every start offset within a word plus the longest case.
  std::vector<std::uint8_t> storage_ = std::vector<std::uint8_t>(8 + 4096);
};

TEST_F(IsAllZeroTest, EmptyRangeIsZero) { EXPECT_TRUE(is_all_zero(storage_.data(), 0)); }

TEST_F(IsAllZeroTest, FindsASingleNonZeroByteAtEveryPlace) {
  for (std::size_t start = 0; start < 8; ++start) {
    for (std::size_t length : {1u, 7u, 8u, 9u, 255u, 256u, 257u, 1000u, 4096u}) {
      std::uint8_t* data = storage_.data() + start;
      EXPECT_TRUE(is_all_zero(data, length)) << start << "+" << length;
      for (std::size_t at = 0; at < length; ++at) {
        data[at] = 0x01;
        ASSERT_FALSE(is_all_zero(data, length)) << start << "+" << length << " at " << at;
        data[at] = 0;
      }
    }
  }
}

TEST_F(IsAllZeroTest, LooksNoFurtherThanItsLength) {
  std::uint8_t* data = storage_.data() + 3;
  data[1000] = 0xff;
  data[-1] = 0xff;
  EXPECT_TRUE(is_all_zero(data, 1000));
  EXPECT_FALSE(is_all_zero(data, 1001));
}

TEST_F(IsAllZeroTest, ChunkWithOnlyItsLastByteSetIsNotZero) {
  std::vector<std::uint8_t> chunk(1048576);
  EXPECT_TRUE(is_all_zero(chunk.data(), chunk.size()));
  chunk.back() = 0x80;
  EXPECT_FALSE(is_all_zero(chunk.data(), chunk.size()));
}

}  // namespace
