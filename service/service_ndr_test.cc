// The procedures' stubs against known byte dumps, round trips in both
// syntaxes, and the decoders' refusal of inconsistent stubs.
#include "service/service_ndr.h"

#include <gtest/gtest.h>

#include <cctype>
#include <numeric>
#include <string>
#include <vector>

#include "testing/bytes.h"

namespace {

using trv_testing::hex;

std::vector<std::uint8_t> sequence(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

const std::vector<std::uint8_t> kCompareNdr20 = hex(R"(
03 00 00 00 00 00 00 00 00 00 10 00 00 00 00 00
10 00 00 00 10 00 00 00 00 01 02 03 04 05 06 07
08 09 0a 0b 0c 0d 0e 0f 00 00 10 00)");
const std::vector<std::uint8_t> kCompareNdr64 = hex(R"(
03 00 00 00 00 00 00 00 00 00 10 00 00 00 00 00
10 00 00 00 00 00 00 00 10 00 00 00 00 00 00 00
00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f
00 00 10 00)");
const std::vector<std::uint8_t> kReplicateNdr20 = hex(R"(
03 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00
20 00 00 00 20 00 00 00 00 01 02 03 04 05 06 07
08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17
18 19 1a 1b 1c 1d 1e 1f 08 00 00 00 08 00 00 00
aa aa aa aa aa aa aa aa)");
const std::vector<std::uint8_t> kReplicateNdr64 = hex(R"(
03 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00
20 00 00 00 00 00 00 00 20 00 00 00 00 00 00 00
00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f
10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f
08 00 00 00 00 00 00 00 08 00 00 00 00 00 00 00
aa aa aa aa aa aa aa aa)");

std::vector<std::uint8_t> compare_stub(Syntax syntax, std::int16_t dest, std::int64_t offset,
                                       const std::vector<std::uint8_t>& digest,
                                       std::int32_t length) {
  std::vector<std::uint8_t> out(compare_request_size(syntax, digest.size()));
  EXPECT_EQ(encode_compare_request(syntax, dest, offset, digest, length, out), out.size());
  return out;
}

TEST(DeviceRequestTest, TwoBytesInBothSyntaxes) {
  std::uint8_t stub[kDeviceRequestSize];
  encode_device_request(3, stub);
  EXPECT_EQ(stub[0], 3);
  EXPECT_EQ(stub[1], 0);
  encode_device_request(-32768, stub);
  EXPECT_EQ(stub[0], 0x00);
  EXPECT_EQ(stub[1], 0x80);
  for (Syntax syntax : {Syntax::Ndr20, Syntax::Ndr64}) {
    std::int16_t dest = 0;
    ASSERT_TRUE(decode_device_request(syntax, stub, &dest).is_ok());
    EXPECT_EQ(dest, -32768);
    const std::uint8_t one[1] = {1};
    EXPECT_EQ(decode_device_request(syntax, one, &dest).code(), 1783);
    const std::uint8_t three[3] = {1, 0, 0};
    EXPECT_EQ(decode_device_request(syntax, three, &dest).code(), 1783);
  }
}

TEST(CompareRequestTest, MatchesTheDumps) {
  EXPECT_EQ(compare_request_size(Syntax::Ndr20, 16), 44u);
  EXPECT_EQ(compare_request_size(Syntax::Ndr64, 16), 52u);
  EXPECT_EQ(compare_stub(Syntax::Ndr20, 3, 0x100000, sequence(16), 0x100000), kCompareNdr20);
  EXPECT_EQ(compare_stub(Syntax::Ndr64, 3, 0x100000, sequence(16), 0x100000), kCompareNdr64);
}

TEST(CompareRequestTest, EncoderRefusesASmallBuffer) {
  std::vector<std::uint8_t> out(43);
  EXPECT_EQ(encode_compare_request(Syntax::Ndr20, 3, 0, sequence(16), 1, out), 0u);
}

TEST(ReplicateRequestTest, MatchesTheDumps) {
  const std::vector<std::uint8_t> data(8, 0xAA);
  EXPECT_EQ(encode_replicate_request(Syntax::Ndr20, 3, 0x200000000, sequence(32), data),
            kReplicateNdr20);
  EXPECT_EQ(encode_replicate_request(Syntax::Ndr64, 3, 0x200000000, sequence(32), data),
            kReplicateNdr64);
}

TEST(ReplicateRequestTest, HeadSizesAndTotals) {
  // D=16: 48 + L and 64 + L; D=20: 52 + L and 64 + L; D=32: 64 + L and 80 + L.
  EXPECT_EQ(replicate_head_size(Syntax::Ndr20, 16), 48u);
  EXPECT_EQ(replicate_head_size(Syntax::Ndr64, 16), 64u);
  EXPECT_EQ(replicate_head_size(Syntax::Ndr20, 20), 52u);
  EXPECT_EQ(replicate_head_size(Syntax::Ndr64, 20), 64u);
  EXPECT_EQ(replicate_head_size(Syntax::Ndr20, 32), 64u);
  EXPECT_EQ(replicate_head_size(Syntax::Ndr64, 32), 80u);
  // Odd digest lengths: data_length aligns to 4, the NDR64 conformance to 8.
  EXPECT_EQ(replicate_head_size(Syntax::Ndr20, 1), 36u);
  EXPECT_EQ(replicate_head_size(Syntax::Ndr64, 1), 48u);
  EXPECT_EQ(compare_request_size(Syntax::Ndr64, 1), 40u);
}

// The head written alone, followed by the caller's data, is the whole stub.
TEST(ReplicateRequestTest, HeadPlusDataIsTheStub) {
  const auto digest = sequence(16);
  const auto data = sequence(1000);
  for (Syntax syntax : {Syntax::Ndr20, Syntax::Ndr64}) {
    std::vector<std::uint8_t> head(128, 0xCC);
    const std::size_t n = encode_replicate_head(syntax, -2, 1 << 20, digest,
                                                static_cast<std::uint32_t>(data.size()), head);
    ASSERT_EQ(n, replicate_head_size(syntax, 16));
    head.resize(n);
    head.insert(head.end(), data.begin(), data.end());
    EXPECT_EQ(head, encode_replicate_request(syntax, -2, 1 << 20, digest, data));
  }
}

class RoundTripTest : public ::testing::TestWithParam<Syntax> {};

TEST_P(RoundTripTest, ReplicateForSeveralDataLengths) {
  const Syntax syntax = GetParam();
  const auto digest = sequence(16);
  for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{1} << 20}) {
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    auto stub = encode_replicate_request(syntax, 4, 0x7FFF00000000, digest, data);
    EXPECT_EQ(stub.size(), replicate_head_size(syntax, 16) + length);
    ReplicateRequest r;
    ASSERT_TRUE(decode_replicate_request(syntax, stub, &r).is_ok()) << length;
    EXPECT_EQ(r.dest, 4);
    EXPECT_EQ(r.offset, 0x7FFF00000000);
    EXPECT_TRUE(std::equal(r.digest.begin(), r.digest.end(), digest.begin(), digest.end()));
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), data.begin(), data.end()));
    // The views point into the stub, not into a copy.
    EXPECT_EQ(r.data.data(), stub.data() + replicate_head_size(syntax, 16));
  }
}

TEST_P(RoundTripTest, CompareAndOddDigests) {
  const Syntax syntax = GetParam();
  for (std::size_t d : {0, 1, 16, 20, 32}) {
    auto digest = sequence(d);
    auto stub = compare_stub(syntax, -1, 0, digest, 1048576);
    CompareRequest c;
    ASSERT_TRUE(decode_compare_request(syntax, stub, &c).is_ok()) << d;
    EXPECT_EQ(c.dest, -1);
    EXPECT_EQ(c.data_length, 1048576);
    EXPECT_TRUE(std::equal(c.digest.begin(), c.digest.end(), digest.begin(), digest.end()));

    auto rep = encode_replicate_request(syntax, 1, 8, digest, sequence(3));
    ReplicateRequest r;
    ASSERT_TRUE(decode_replicate_request(syntax, rep, &r).is_ok()) << d;
    EXPECT_EQ(r.digest.size(), d);
    EXPECT_EQ(r.data.size(), 3u);
  }
}

// Pad bytes may hold anything.
TEST_P(RoundTripTest, PadContentIsNotChecked) {
  const Syntax syntax = GetParam();
  auto stub = encode_replicate_request(syntax, 1, 8, sequence(16), sequence(5));
  for (std::size_t i = 2; i < 8; ++i) stub[i] = 0xBF;
  if (syntax == Syntax::Ndr64) {
    for (std::size_t i = 20; i < 24; ++i) stub[i] = 0xCE;
  }
  ReplicateRequest r;
  EXPECT_TRUE(decode_replicate_request(syntax, stub, &r).is_ok());
}

INSTANTIATE_TEST_SUITE_P(BothSyntaxes, RoundTripTest,
                         ::testing::Values(Syntax::Ndr20, Syntax::Ndr64), [](const auto& info) {
                           return info.param == Syntax::Ndr20 ? "Ndr20" : "Ndr64";
                         });

class MalformedRequestTest : public ::testing::TestWithParam<Syntax> {
 protected:
  Syntax syntax() const { return GetParam(); }
  std::size_t digest_conformance() const { return syntax() == Syntax::Ndr20 ? 20 : 24; }
  std::size_t data_conformance() const { return syntax() == Syntax::Ndr20 ? 44 : 56; }
  std::vector<std::uint8_t> replicate_ = encode_replicate_request(
      GetParam(), 3, 0x100000, sequence(16), std::vector<std::uint8_t>(64, 0x5A));
  std::vector<std::uint8_t> compare_ = compare_stub(GetParam(), 3, 0x100000, sequence(16), 64);
};

TEST_P(MalformedRequestTest, ConformanceDifferentFromItsLength) {
  ReplicateRequest r;
  CompareRequest c;
  auto stub = replicate_;
  stub[digest_conformance()] = 15;
  EXPECT_EQ(decode_replicate_request(syntax(), stub, &r).code(), 1783);
  stub = compare_;
  stub[digest_conformance()] = 17;
  EXPECT_EQ(decode_compare_request(syntax(), stub, &c).code(), 1783);
  stub = replicate_;
  stub[data_conformance()] = 63;
  EXPECT_EQ(decode_replicate_request(syntax(), stub, &r).code(), 1783);
  // In NDR64 the conformance is 64 bits: a high word must not be ignored.
  if (syntax() == Syntax::Ndr64) {
    stub = replicate_;
    stub[data_conformance() + 4] = 1;
    EXPECT_EQ(decode_replicate_request(syntax(), stub, &r).code(), 1783);
  }
}

TEST_P(MalformedRequestTest, EveryShortStubFails) {
  ReplicateRequest r;
  CompareRequest c;
  for (std::size_t n = 0; n < replicate_.size(); ++n) {
    std::span<const std::uint8_t> cut(replicate_.data(), n);
    EXPECT_EQ(decode_replicate_request(syntax(), cut, &r).code(), 1783) << n;
  }
  for (std::size_t n = 0; n < compare_.size(); ++n) {
    std::span<const std::uint8_t> cut(compare_.data(), n);
    EXPECT_EQ(decode_compare_request(syntax(), cut, &c).code(), 1783) << n;
  }
}

TEST_P(MalformedRequestTest, TrailingBytesFail) {
  ReplicateRequest r;
  CompareRequest c;
  auto stub = replicate_;
  stub.push_back(0);
  EXPECT_EQ(decode_replicate_request(syntax(), stub, &r).code(), 1783);
  stub = compare_;
  stub.insert(stub.end(), 4, 0);
  EXPECT_EQ(decode_compare_request(syntax(), stub, &c).code(), 1783);
}

TEST_P(MalformedRequestTest, NegativeLengthsFail) {
  ReplicateRequest r;
  CompareRequest c;
  auto stub = compare_;
  rpc::put_u32(stub.data() + compare_.size() - 4, 0xFFFFFFFF);
  EXPECT_EQ(decode_compare_request(syntax(), stub, &c).code(), 1783);
  // A digest length of -1 with a matching 0xFFFFFFFF conformance.
  stub = replicate_;
  rpc::put_u32(stub.data() + 16, 0xFFFFFFFF);
  rpc::put_u32(stub.data() + digest_conformance(), 0xFFFFFFFF);
  EXPECT_EQ(decode_replicate_request(syntax(), stub, &r).code(), 1783);
  // A huge digest length that matches its conformance but not the stub.
  stub = replicate_;
  rpc::put_u32(stub.data() + 16, 0x7FFFFFFF);
  rpc::put_u32(stub.data() + digest_conformance(), 0x7FFFFFFF);
  EXPECT_EQ(decode_replicate_request(syntax(), stub, &r).code(), 1783);
}

INSTANTIATE_TEST_SUITE_P(BothSyntaxes, MalformedRequestTest,
                         ::testing::Values(Syntax::Ndr20, Syntax::Ndr64), [](const auto& info) {
                           return info.param == Syntax::Ndr20 ? "Ndr20" : "Ndr64";
                         });

TEST(ResultResponseTest, FourBytesWithUpToFourTrailing) {
  std::uint8_t stub[8] = {};
  encode_result_response(-5, stub);
  std::int32_t result = 0;
  ASSERT_TRUE(decode_result_response({stub, 4}, &result).is_ok());
  EXPECT_EQ(result, -5);
  encode_result_response(107, stub);
  ASSERT_TRUE(decode_result_response({stub, 8}, &result).is_ok());
  EXPECT_EQ(result, 107);
  EXPECT_EQ(decode_result_response({stub, 3}, &result).code(), 1783);
  std::uint8_t nine[9] = {};
  EXPECT_EQ(decode_result_response(nine, &result).code(), 1783);
}

}  // namespace
