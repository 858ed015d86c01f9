// Reads for compare on an image file, through the fake disk: what cannot be
// read must come out as zeros whatever the buffer held before, a read the
// kernel cuts short must be continued, and a failing read must fail the
// compare instead of passing for the end of the disk. The same holds for
// reads through an O_DIRECT descriptor, which fall back to the buffered one
// where the kernel refuses them.
#include "server/disk_read.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
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
    path_ = path;
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
    if (direct_.fd >= 0) ::close(direct_.fd);
  }

  // Opens the direct descriptor that later reads go through; false where the
  // file system takes no O_DIRECT opens.
  bool open_direct() {
    direct_.fd = io_.open(path_.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    return direct_.fd >= 0;
  }

  // Reads into a buffer full of stale bytes, as a thread's buffer is after
  // an earlier compare. The buffer is aligned for direct reads, or one byte
  // past that when `misaligned`.
  Bytes read(std::int64_t offset, std::size_t length, std::int64_t end, Status* status,
             bool misaligned = false) {
    void* memory = nullptr;
    if (::posix_memalign(&memory, 4096, length + 1) != 0) std::abort();
    std::unique_ptr<std::uint8_t, decltype(&std::free)> owned(static_cast<std::uint8_t*>(memory),
                                                              &std::free);
    std::uint8_t* buffer = owned.get() + (misaligned ? 1 : 0);
    std::memset(buffer, 0xEE, length);
    *status = read_zero_filled(io_, fd_, direct_, offset, length, end, buffer);
    return Bytes(buffer, buffer + length);
  }
  // The file's bytes from `offset`, up to `end` and zero-filled to `length`.
  Bytes expected(std::int64_t offset, std::size_t length, std::int64_t end = kNoEnd) {
    Bytes out(length, 0);
    const std::int64_t stop = std::min<std::int64_t>(
        {end, static_cast<std::int64_t>(content_.size()), offset + std::int64_t(length)});
    if (offset < stop) std::copy(content_.begin() + offset, content_.begin() + stop, out.begin());
    return out;
  }

  // Pages of the file's first `length` bytes the page cache holds (mincore).
  std::size_t cached_pages(std::size_t length) {
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) std::abort();
    std::vector<unsigned char> resident(length / 4096 + 1);
    if (::mincore(map, length, resident.data()) != 0) std::abort();
    ::munmap(map, length);
    return static_cast<std::size_t>(
        std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }));
  }

  trvs_testing::ScratchDir scratch_{"trvs-read"};
  trvs_testing::FakeDiskIo io_;
  Bytes content_;
  std::string path_;
  int fd_ = -1;
  DirectReads direct_;
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
  ASSERT_TRUE(range_digest(io_, hasher, fd_, direct_, 7, length, kNoEnd, out).is_ok());
  EXPECT_EQ(Bytes(out, out + kDigestLength), md5_of(expected(7, length)));
  // One piece, on a fixed-size disk that ends inside it.
  ASSERT_TRUE(
      range_digest(io_, hasher, fd_, direct_, 7, kChunkLength, kChunkLength / 2, out).is_ok());
  EXPECT_EQ(Bytes(out, out + kDigestLength), md5_of(expected(7, kChunkLength, kChunkLength / 2)));
  // A chunk of zeros past the end gets the digest of zeros.
  ASSERT_TRUE(
      range_digest(io_, hasher, fd_, direct_, 9 * kChunkLength, kChunkLength, kNoEnd, out).is_ok());
  EXPECT_EQ(Bytes(out, out + kDigestLength), md5_of(Bytes(kChunkLength, 0)));
}

// Through the direct descriptor: whole chunks, the end of the file inside a
// chunk, a fixed-size end inside a block, and nothing read past a buffer
// that is no longer than what is wanted.
TEST_F(DiskReadTest, DirectReadsGiveTheBytesBufferedReadsGive) {
  if (!open_direct()) GTEST_SKIP() << "no O_DIRECT on this file system";
  Status status = Status::ok();
  EXPECT_EQ(read(kChunkLength, kChunkLength, kNoEnd, &status),
            expected(kChunkLength, kChunkLength));
  EXPECT_TRUE(status.is_ok());
  EXPECT_EQ(read(2 * kChunkLength, kChunkLength, kNoEnd, &status),
            expected(2 * kChunkLength, kChunkLength));
  EXPECT_TRUE(status.is_ok());
  EXPECT_EQ(read(4096, kChunkLength, 4096 + 1000, &status), expected(4096, kChunkLength, 5096));
  EXPECT_TRUE(status.is_ok());
  // 1000 bytes wanted of a 1000-byte buffer: a whole block would overrun it.
  EXPECT_EQ(read(8192, 1000, kNoEnd, &status), expected(8192, 1000));
  EXPECT_TRUE(status.is_ok());
}

TEST_F(DiskReadTest, ARefusedOrShortDirectReadGoesOnBufferedAndAFailedOneFails) {
  if (!open_direct()) GTEST_SKIP() << "no O_DIRECT on this file system";
  Status status = Status::ok();
  const trvs_testing::DiskFault uncached{DiskCall::PreadNowait, EAGAIN, 1, true, {}, 0};
  io_.fail(uncached);
  // The file system takes the open but not the reads.
  io_.fail(trvs_testing::DiskFault{DiskCall::Pread, EINVAL, 1, true, {}, O_DIRECT});
  EXPECT_EQ(read(0, kChunkLength, kNoEnd, &status), expected(0, kChunkLength));
  EXPECT_TRUE(status.is_ok());
  // Cut short off a block boundary: the buffered read takes the rest.
  io_.clear_faults();
  io_.fail(uncached);
  io_.limit_reads(100000);
  EXPECT_EQ(read(0, kChunkLength, kNoEnd, &status), expected(0, kChunkLength));
  EXPECT_TRUE(status.is_ok());
  // A misaligned buffer is read buffered: the failing direct side is not used.
  io_.limit_reads(0);
  io_.fail(trvs_testing::DiskFault{DiskCall::Pread, EIO, 1, true, {}, O_DIRECT});
  EXPECT_EQ(read(0, 8192, kNoEnd, &status, true), expected(0, 8192));
  EXPECT_TRUE(status.is_ok());
  // An aligned one is read direct, and the failure fails the compare.
  (void)read(0, 8192, kNoEnd, &status);
  EXPECT_EQ(status.code(), ReadFailed);
  EXPECT_NE(status.message().find("pread: "), std::string::npos) << status.message();
}

// What the page cache holds is read from it, without a device read; what it
// lacks comes from the device, direct, from the last aligned position the
// cache gave; a file system that cannot tell (EOPNOTSUPP) reads as before.
TEST_F(DiskReadTest, ThePageCacheIsReadWhenItHoldsTheRangeTheDeviceOtherwise) {
  if (!open_direct()) GTEST_SKIP() << "no O_DIRECT on this file system";
  Status status = Status::ok();
  // The file was just written: cached. A failing device is never asked.
  io_.fail(trvs_testing::DiskFault{DiskCall::Pread, EIO, 1, true, {}, O_DIRECT});
  EXPECT_EQ(read(kChunkLength, kChunkLength, kNoEnd, &status),
            expected(kChunkLength, kChunkLength));
  EXPECT_TRUE(status.is_ok());
  EXPECT_EQ(read(2 * kChunkLength, kChunkLength, kNoEnd, &status),
            expected(2 * kChunkLength, kChunkLength));  // the end of the file inside
  EXPECT_TRUE(status.is_ok());
  EXPECT_EQ(io_.calls(DiskCall::Pread), 0);
  io_.clear_faults();

  for (const int error : {EAGAIN, EOPNOTSUPP}) {
    SCOPED_TRACE(error);
    io_.fail(DiskCall::PreadNowait, error);
    const int reads = io_.calls(DiskCall::Pread);
    EXPECT_EQ(read(0, kChunkLength, kNoEnd, &status), expected(0, kChunkLength));
    EXPECT_TRUE(status.is_ok());
    EXPECT_EQ(io_.calls(DiskCall::Pread), reads + 1);  // one direct read of the chunk
  }
  // Only the start of it cached, the rest from the device, cut short there
  // as well.
  io_.limit_reads(10000);
  io_.fail(DiskCall::PreadNowait, EAGAIN, 2);
  const int reads = io_.calls(DiskCall::Pread);
  EXPECT_EQ(read(0, kChunkLength, kNoEnd, &status), expected(0, kChunkLength));
  EXPECT_TRUE(status.is_ok());
  EXPECT_GT(io_.calls(DiskCall::Pread), reads);
}

// A compare of a range the page cache lacks reads it from the device and
// leaves the cache as it was: asking the cache first must not start the
// kernel's read-ahead, which would fill it with the pages just read past it.
TEST_F(DiskReadTest, ARangeThePageCacheLacksIsReadFromTheDeviceAndNotBroughtIn) {
  if (!open_direct()) GTEST_SKIP() << "no O_DIRECT on this file system";
  ASSERT_EQ(::fdatasync(fd_), 0);
  ASSERT_EQ(::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED), 0);
  if (cached_pages(2 * kChunkLength) != 0) GTEST_SKIP() << "this file system keeps its pages";
  Status status = Status::ok();
  EXPECT_EQ(read(0, kChunkLength, kNoEnd, &status), expected(0, kChunkLength));
  EXPECT_TRUE(status.is_ok());
  EXPECT_EQ(read(kChunkLength, kChunkLength, kNoEnd, &status),
            expected(kChunkLength, kChunkLength));
  EXPECT_EQ(io_.calls(DiskCall::Pread), 2);  // one direct read each
  EXPECT_EQ(cached_pages(2 * kChunkLength), 0u);
}

}  // namespace
