// Checks every way this library computes MD5 against OpenSSL's, on random
// data at misaligned addresses: every length up to three blocks, so that
// each padding case meets each lane, and a few large messages. The lane
// widths this CPU or build lacks are skipped.
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "gtest/gtest.h"

namespace {

constexpr std::size_t kLongest = 3 * 64;

std::string hex(const std::uint8_t* digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

std::string openssl_hex(const std::uint8_t* data, std::size_t length) {
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(data, length, digest, &size, EVP_md5(), nullptr), 1);
  EXPECT_EQ(size, 16u);
  return hex(digest);
}

class DigestAgainstOpenSsl : public ::testing::TestWithParam<Md5Lanes> {
 protected:
  void SetUp() override {
    if (!md5_lanes_supported(GetParam()))
      GTEST_SKIP() << "no " << md5_lanes_name(GetParam()) << " here";
    width_ = md5_lane_width(GetParam());
  }

  std::vector<std::uint8_t> random_bytes(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random_());
    return bytes;
  }

  // Hashes one full group with the lanes under test; message i is the
  // lengths[i] bytes at storage + starts[i].
  void expect_openssl_digests(const std::uint8_t* storage, const std::vector<std::size_t>& starts,
                              const std::vector<std::size_t>& lengths) {
    std::vector<const std::uint8_t*> data;
    for (std::size_t start : starts) data.push_back(storage + start);
    std::vector<std::uint8_t[16]> digests(data.size());
    std::memset(digests.data(), 0xa5, 16 * digests.size());
    md5_many_using(GetParam(), data.data(), lengths.data(), digests.data(), data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
      ASSERT_EQ(hex(digests[i]), openssl_hex(data[i], lengths[i]))
          << "lane " << i << " of " << data.size() << ", " << lengths[i] << " bytes at offset "
          << starts[i];
    }
  }

  std::size_t width_ = 1;
  std::mt19937 random_{20240611};
};

// Every lane gets the same length, each from its own odd offset; then the
// lanes get different lengths around it, so that they run out of blocks at
// different passes.
TEST_P(DigestAgainstOpenSsl, EveryLengthUpToThreeBlocks) {
  const auto storage = random_bytes(width_ * (kLongest + 64));
  for (std::size_t length = 0; length <= kLongest; ++length) {
    std::vector<std::size_t> starts;
    std::vector<std::size_t> same;
    std::vector<std::size_t> ragged;
    for (std::size_t lane = 0; lane < width_; ++lane) {
      starts.push_back(lane * (kLongest + 64) + (2 * lane + 1) % 64);
      same.push_back(length);
      ragged.push_back((length + 37 * lane) % (kLongest + 1));
    }
    expect_openssl_digests(storage.data(), starts, same);
    expect_openssl_digests(storage.data(), starts, ragged);
  }
}

TEST_P(DigestAgainstOpenSsl, LargeMessages) {
  constexpr std::size_t kChunk = 1048576;
  const std::size_t sizes[] = {kChunk, kChunk + 1, kChunk - 63, 3 * kChunk + 5};
  std::size_t total = 0;
  for (std::size_t lane = 0; lane < width_; ++lane) total += sizes[lane % 4] + 64;
  const auto storage = random_bytes(total);
  std::vector<std::size_t> starts;
  std::vector<std::size_t> lengths;
  std::size_t at = 0;
  for (std::size_t lane = 0; lane < width_; ++lane) {
    starts.push_back(at + 1 + lane % 63);
    lengths.push_back(sizes[lane % 4]);
    at += sizes[lane % 4] + 64;
  }
  expect_openssl_digests(storage.data(), starts, lengths);
}

// The combiner hashes through the lanes under test as well.
TEST_P(DigestAgainstOpenSsl, CombinerOnOneThread) {
  HashCombiner combiner(GetParam());
  const auto storage = random_bytes(kLongest + 8);
  for (std::size_t length = 0; length <= kLongest; length += 7) {
    std::uint8_t digest[16];
    combiner.digest(storage.data() + 3, length, digest);
    ASSERT_EQ(hex(digest), openssl_hex(storage.data() + 3, length)) << length << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(Lanes, DigestAgainstOpenSsl,
                         ::testing::Values(Md5Lanes::kScalar, Md5Lanes::kAvx2, Md5Lanes::kAvx512),
                         [](const ::testing::TestParamInfo<Md5Lanes>& info) {
                           return std::string(md5_lanes_name(info.param));
                         });

// The one-shot digest and the piecewise context, which the lanes' width-1
// case does not exercise on their own.
TEST(DigestAgainstOpenSslScalar, OneShotAndPiecewise) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> storage(3 * 1048576 + 64);
  for (auto& byte : storage) byte = static_cast<std::uint8_t>(random());
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length <= kLongest; ++length) lengths.push_back(length);
  for (std::size_t length : {1048576u, 1048576u + 55u, 3u * 1048576u + 5u})
    lengths.push_back(length);
  for (std::size_t length : lengths) {
    const std::uint8_t* data = storage.data() + 1 + length % 61;
    const std::string expected = openssl_hex(data, length);
    std::uint8_t digest[16];
    md5_digest(data, length, digest);
    ASSERT_EQ(hex(digest), expected) << length << " bytes, one call";

    Md5Context context;
    md5_init(&context);
    const std::size_t split = length / 3;
    md5_update(&context, data, static_cast<std::uint32_t>(split));
    md5_update(&context, data + split, static_cast<std::uint32_t>(length - split));
    md5_final(digest, &context);
    ASSERT_EQ(hex(digest), expected) << length << " bytes, in two pieces";
  }
}

}  // namespace
