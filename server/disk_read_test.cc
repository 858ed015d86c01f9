// Reads for compare on an image file, through the fake disk: what cannot be
// read must come out as zeros whatever the buffer held before, a read the
// kernel cuts short must be continued, and a failing read must fail the
// compare instead of passing for the end of the disk.
#include "server/disk_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "gtest/gtest.h"
#include "server/disk_io_fake.h"
#include "server/testing.h"

namespace {

using trvs_testing::Bytes;
using trvs_testing::DiskCall;
using trvs_testing::md5_of;
using trvs_testing::pattern;

constexpr std::int64_t kNoEnd = std::numeric_limits<std::int64_t>::max();

class DiskReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    content_ = pattern(2 * kChunkLength + kChunkLength / 2, 7);
    const std::string path = (scratch_.path() / "a.img").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content_.data()),
               static_cast<std::streamsize>(content_.size()));
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
  }

  // Reads into a buffer full of stale bytes, as a thread's buffer is after
  // an earlier compare.
  Bytes read(std::int64_t offset, std::size_t length, std::int64_t end, Status* status) {
    Bytes buffer(length, 0xEE);
    *status = read_zero_filled(io_, fd_, offset, length, end, buffer.data());
    return buffer;
  }
  // The file's bytes from `offset`, up to `end` and zero-filled to `length`.
  Bytes expected(std::int64_t offset, std::size_t length, std::int64_t end = kNoEnd) {
    Bytes out(length, 0);
    const std::int64_t stop = std::min<std::int64_t>(
        {end, static_cast<std::int64_t>(content_.size()), offset + std::int64_t(length)});
    if (offset < stop) std::copy(content_.begin() + offset, content_.begin() + stop, out.begin());
    return out;
  }

  trvs_testing::ScratchDir scratch_{"trvs-read"};
  trvs_testing::FakeDiskIo io_;
  Bytes content_;
  int fd_ = -1;
};

TEST_F(DiskReadTest, WhatLiesPastTheEndOrTheFileReadsAsZero) {
  Status status = Status::ok();
  const std::int64_t tail = static_cast<std::int64_t>(content_.size()) - 1000;
  EXPECT_EQ(read(tail, 8192, kNoEnd, &status), expected(tail, 8192));
  EXPECT_TRUE(status.is_ok());
  // A fixed-size disk's end comes before the file's.
  EXPECT_EQ(read(100, 8192, 3000, &status), expected(100, 8192, 3000));
  EXPECT_TRUE(status.is_ok());
  const int reads = io_.calls(DiskCall::Pread);
  EXPECT_EQ(read(5000, 4096, 5000, &status), Bytes(4096, 0));
  EXPECT_EQ(io_.calls(DiskCall::Pread), reads);  // nothing to read at all
  const std::int64_t beyond = static_cast<std::int64_t>(content_.size()) + 1;
  EXPECT_EQ(read(beyond, 4096, kNoEnd, &status), Bytes(4096, 0));
  EXPECT_TRUE(status.is_ok());
}

TEST_F(DiskReadTest, ShortAndInterruptedReadsAreContinuedAndAFailedOneFails) {
  Status status = Status::ok();
  io_.limit_reads(777);
  EXPECT_EQ(read(3, 10000, kNoEnd, &status), expected(3, 10000));
  EXPECT_TRUE(status.is_ok());
  io_.fail(DiskCall::Pread, EINTR, 2);
  EXPECT_EQ(read(3, 10000, kNoEnd, &status), expected(3, 10000));
  EXPECT_TRUE(status.is_ok());
  io_.fail(DiskCall::Pread, EIO, 3);
  (void)read(3, 10000, kNoEnd, &status);
  EXPECT_EQ(status.code(), ReadFailed);
  EXPECT_NE(status.message().find("pread: "), std::string::npos) << status.message();
}

// Three pieces: whole, cut by the end of the file, and wholly past it, read
// in short reads; the digest must be that of the zero-filled range.
TEST_F(DiskReadTest, ARangeOfSeveralPiecesHasTheDigestOfItsZeroFilledBytes) {
  HashCombiner hasher;
  io_.limit_reads(100000);
  const std::int64_t length = 3 * kChunkLength + 5;
  std::uint8_t out[kDigestLength];
  ASSERT_TRUE(range_digest(io_, hasher, fd_, 7, length, kNoEnd, out).is_ok());
  EXPECT_EQ(Bytes(out, out + kDigestLength), md5_of(expected(7, length)));
  // One piece, on a fixed-size disk that ends inside it.
  ASSERT_TRUE(range_digest(io_, hasher, fd_, 7, kChunkLength, kChunkLength / 2, out).is_ok());
  EXPECT_EQ(Bytes(out, out + kDigestLength), md5_of(expected(7, kChunkLength, kChunkLength / 2)));
  // A chunk of zeros past the end gets the digest of zeros.
  ASSERT_TRUE(range_digest(io_, hasher, fd_, 9 * kChunkLength, kChunkLength, kNoEnd, out).is_ok());
  EXPECT_EQ(Bytes(out, out + kDigestLength), md5_of(Bytes(kChunkLength, 0)));
}

}  // namespace
