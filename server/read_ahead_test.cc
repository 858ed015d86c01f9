// Reading ahead of compares: what it hands a compare must be what the
// chunk holds, so a write that starts while a chunk is read, or runs when
// its reading would begin, keeps that chunk from being answered.
#include "server/read_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <limits>
#include <thread>

#include "gtest/gtest.h"
#include "server/disk_io_fake.h"
#include "server/testing.h"

namespace {

using trvs_testing::Bytes;
using trvs_testing::DiskCall;
using trvs_testing::md5_of;
using trvs_testing::pattern;

constexpr auto kChunk = static_cast<std::int64_t>(kChunkLength);
constexpr std::size_t kChunks = 40;

class ReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    const std::string path = (scratch_.path() / "a.img").string();
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < kChunks; ++i) {
      chunks_.push_back(pattern(kChunkLength, static_cast<std::uint32_t>(i + 1)));
      out.write(reinterpret_cast<const char*>(chunks_.back().data()), kChunk);
    }
    out.close();
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    ahead_.reset();
    if (fd_ >= 0) ::close(fd_);
  }

  void start() {
    ReadAhead::Source source;
    source.io = &io_;
    source.fd = fd_;
    source.end = std::numeric_limits<std::int64_t>::max();
    source.limit = static_cast<std::int64_t>(kChunks) * kChunk;
    source.offer = [](std::int64_t) { return ProbeOffer{true, 0}; };
    source.counted = &lanes_;
    ahead_ = std::make_unique<ReadAhead>(std::move(source));
    // The first compares read for themselves; the reading starts after
    // the sixteenth.
    ReadAhead::Found found;
    for (std::int64_t i = 0; i < 16; ++i) ASSERT_FALSE(ahead_->take(i * kChunk, &found));
  }

  // A write of new bytes over chunk `i`, as the store makes it.
  void overwrite(std::size_t i, std::uint32_t seed) {
    ahead_->write_starts(static_cast<std::int64_t>(i) * kChunk, kChunk);
    chunks_[i] = pattern(kChunkLength, seed);
    ASSERT_EQ(::pwrite(fd_, chunks_[i].data(), kChunkLength, static_cast<off_t>(i) * kChunk),
              kChunk);
    ahead_->write_ended(static_cast<std::int64_t>(i) * kChunk, kChunk);
  }

  // Chunk `i` is answered with its digest as it is now, or left to the
  // compare.
  void expect_current(std::size_t i) {
    ReadAhead::Found found;
    if (!ahead_->take(static_cast<std::int64_t>(i) * kChunk, &found)) return;
    EXPECT_EQ(Bytes(found.digest, found.digest + kDigestLength), md5_of(chunks_[i])) << i;
  }

  trvs_testing::ScratchDir scratch_{"trvs-ahead"};
  trvs_testing::FakeDiskIo io_;
  std::vector<Bytes> chunks_;
  int fd_ = -1;
  HashCombiner lanes_;
  std::unique_ptr<ReadAhead> ahead_;
  const std::thread::id test_thread_ = std::this_thread::get_id();
};

TEST_F(ReadAheadTest, ChunksReadAheadAnswerWithTheirDigestsUntilAWriteTouchesThem) {
  start();
  ReadAhead::Found found;
  ASSERT_TRUE(ahead_->take(16 * kChunk, &found));  // waits for its batch
  EXPECT_EQ(Bytes(found.digest, found.digest + kDigestLength), md5_of(chunks_[16]));
  EXPECT_TRUE(found.first.found);
  EXPECT_EQ(found.first.position, 16 * kChunk + (chunks_[16][0] == 0 ? 1 : 0));
  // Chunk 20 was read with chunk 16; a write over it forgets it, and one
  // over the end of chunk 21 and the start of 22 forgets both.
  overwrite(20, 900);
  EXPECT_FALSE(ahead_->take(20 * kChunk, &found));
  ahead_->write_starts(22 * kChunk - 10, 20);
  ahead_->write_ended(22 * kChunk - 10, 20);
  EXPECT_FALSE(ahead_->take(21 * kChunk, &found));
  EXPECT_FALSE(ahead_->take(22 * kChunk, &found));
  for (std::size_t i = 17; i < kChunks; ++i) expect_current(i);
  EXPECT_GE(ahead_->answered(), 10u);
  // Every chunk the reading reached (16 to 39) was counted, once.
  ahead_->stop();
  EXPECT_EQ(lanes_.stats().digests, kChunks - 16);
}

TEST_F(ReadAheadTest, AChunkWrittenWhileItsBatchIsReadOrWhenItStartsIsNotAnswered) {
  // Chunk 17 is being written when the reading starts; the reading of
  // chunk 16 is held until chunk 18 has been written over.
  std::promise<void> reading, written;
  std::shared_future<void> go = written.get_future().share();
  io_.before = [&, first = true](DiskCall call, int fd) mutable {
    if (call == DiskCall::Pread && fd == fd_ && first &&
        std::this_thread::get_id() != test_thread_) {
      first = false;
      reading.set_value();
      go.wait();
    }
    return 0;
  };
  start();
  ahead_->write_starts(17 * kChunk, kChunk);
  ReadAhead::Found found;
  std::thread writer([&] {
    reading.get_future().wait();
    overwrite(18, 901);
    written.set_value();
  });
  EXPECT_FALSE(ahead_->take(18 * kChunk, &found));  // waits for the batch
  writer.join();
  EXPECT_FALSE(ahead_->take(17 * kChunk, &found));
  ahead_->write_ended(17 * kChunk, kChunk);
  for (std::size_t i = 16; i < kChunks; ++i) expect_current(i);
}

}  // namespace
