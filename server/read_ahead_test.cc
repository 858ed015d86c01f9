// Reading ahead of compares: what it hands a compare must be what the
// chunk holds, so a write that starts while a chunk is read, or runs when
// its reading would begin, keeps that chunk from being answered. Each case
// runs twice: with the page cache answering every read (one thread reads
// and digests), and with it answering none (the digests are made on a
// second thread while the next batch is read).
#include "server/read_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
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

class ReadAheadTest : public ::testing::TestWithParam<bool> {
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
    if (GetParam()) {
      // Nothing comes from the page cache: every read waits for "the device".
      source.direct = DirectReads{fd_, 4096};
      io_.fail(DiskCall::PreadNowait, EAGAIN, 1, true);
    }
    ahead_ = std::make_unique<ReadAhead>(std::move(source));
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

TEST_P(ReadAheadTest, ChunksReadAheadAnswerWithTheirDigestsUntilAWriteTouchesThem) {
  start();
  ReadAhead::Found found;
  // The first compare starts the reading at the first chunk of its batch,
  // and waits for that batch.
  ASSERT_TRUE(ahead_->take(3 * kChunk, &found));
  EXPECT_EQ(Bytes(found.digest, found.digest + kDigestLength), md5_of(chunks_[3]));
  EXPECT_TRUE(found.first.found);
  EXPECT_EQ(found.first.position, 3 * kChunk + (chunks_[3][0] == 0 ? 1 : 0));
  // Chunk 7 was read with chunk 3; a write over it forgets it, and one
  // over the end of chunk 8 and the start of 9 forgets both.
  overwrite(7, 900);
  EXPECT_FALSE(ahead_->take(7 * kChunk, &found));
  ahead_->write_starts(9 * kChunk - 10, 20);
  ahead_->write_ended(9 * kChunk - 10, 20);
  EXPECT_FALSE(ahead_->take(8 * kChunk, &found));
  EXPECT_FALSE(ahead_->take(9 * kChunk, &found));
  for (std::size_t i = 0; i < kChunks; ++i) expect_current(i);
  EXPECT_GE(ahead_->answered(), 30u);
  // Every chunk was read ahead and counted, once.
  ahead_->stop();
  EXPECT_EQ(lanes_.stats().digests, kChunks);
}

TEST_P(ReadAheadTest, AChunkWrittenWhileItsBatchIsReadOrWhenItStartsIsNotAnswered) {
  // Chunk 1 is being written when the reading starts; the reading of
  // chunk 0 is held until chunk 2 has been written over.
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
  ahead_->write_starts(1 * kChunk, kChunk);
  ReadAhead::Found found;
  std::thread writer([&] {
    reading.get_future().wait();
    overwrite(2, 901);
    written.set_value();
  });
  EXPECT_FALSE(ahead_->take(2 * kChunk, &found));  // starts the reading, waits for the batch
  writer.join();
  EXPECT_FALSE(ahead_->take(1 * kChunk, &found));
  ahead_->write_ended(1 * kChunk, kChunk);
  for (std::size_t i = 0; i < kChunks; ++i) expect_current(i);
}

TEST_P(ReadAheadTest, StopEndsTheReadingWhileACompareWaitsForItsBatch) {
  // The second batch's read is held until stop() has begun; a compare
  // waiting for that batch must then be let go, and stop() must not wait
  // for either thread forever (with the page cache missed, the first
  // batch went to the digesting thread).
  std::promise<void> held;
  std::promise<void> release;
  std::shared_future<void> go = release.get_future().share();
  io_.before = [&, reads = 0](DiskCall call, int fd) mutable {
    if (call == DiskCall::Pread && fd == fd_ && std::this_thread::get_id() != test_thread_ &&
        ++reads == 2) {
      held.set_value();
      go.wait();
    }
    return 0;
  };
  start();
  ReadAhead::Found found;
  ASSERT_TRUE(ahead_->take(0, &found));
  EXPECT_EQ(Bytes(found.digest, found.digest + kDigestLength), md5_of(chunks_[0]));
  held.get_future().wait();
  auto waiting = std::async(std::launch::async, [&] {
    ReadAhead::Found late;
    return ahead_->take(17 * kChunk, &late) ? Bytes(late.digest, late.digest + kDigestLength)
                                            : Bytes();
  });
  std::thread stopper([&] { ahead_->stop(); });
  // Let stop() begin before the read goes on; in either order everything
  // must end, and a digest handed out must be the chunk's.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  release.set_value();
  stopper.join();
  const Bytes late = waiting.get();
  if (!late.empty()) {
    EXPECT_EQ(late, md5_of(chunks_[17]));
  }
  EXPECT_FALSE(ahead_->take(18 * kChunk, &found));
}

INSTANTIATE_TEST_SUITE_P(Cache, ReadAheadTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Missed" : "Held"; });

}  // namespace
