// The disk store on image files in a temporary folder, called directly as the
// RPC server would call it, without a network.
#include "server/disk_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "digest/digest.h"
#include "gtest/gtest.h"
#include "server/disk_io_fake.h"
#include "server/testing.h"
#include "service/server_result.h"

namespace {

constexpr std::int64_t kChunk = kChunkLength;

using trvs_testing::Bytes;
using trvs_testing::DiskCall;
using trvs_testing::DiskFault;
using trvs_testing::md5_of;
using trvs_testing::pattern;

class DiskStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  void TearDown() override { store_.reset(); }

  std::string make_file(const std::string& name, const Bytes& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    return path;
  }

  Bytes read_file(const std::string& path) { return trv_testing::read_whole_file(path); }

  void make_store(std::vector<DiskConfig> disks) {
    store_ = std::make_unique<DiskStore>(
        std::move(disks),
        [this](const Event& event) {
          std::lock_guard lock(log_mutex_);
          log_.push_back(event.text);
        },
        hasher_, io_);
    open_status_ = store_->open_disks().message();
  }

  std::optional<std::int32_t> replicate(std::uint32_t group, std::int16_t dest, std::int64_t offset,
                                        const Bytes& data, const Bytes* digest = nullptr) {
    const Bytes own = digest ? *digest : md5_of(data);
    return store_->replicate(group, ReplicateRequest{dest, offset, own, data});
  }

  std::optional<std::int32_t> compare(std::uint32_t group, std::int16_t dest, std::int64_t offset,
                                      const Bytes& expected) {
    const Bytes digest = md5_of(expected);
    return store_->compare(
        group, CompareRequest{dest, offset, digest, static_cast<std::int32_t>(expected.size())});
  }

  bool logged(const std::string& text) {
    std::lock_guard lock(log_mutex_);
    for (const auto& line : log_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  trvs_testing::ScratchDir scratch_;
  const std::filesystem::path& dir_ = scratch_.path();
  HashCombiner hasher_;
  trvs_testing::FakeDiskIo io_;
  std::unique_ptr<DiskStore> store_;
  std::string open_status_;  // what open_disks said; empty when all opened
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

TEST_F(DiskStoreTest, EveryProcedureRefusesADiskThatWasNotConfigured) {
  make_store({{1, make_file("a.img", {}), false}});
  const Bytes data = pattern(4096, 1);
  EXPECT_EQ(store_->open_device(5, 2), UnknownDisk);
  EXPECT_EQ(replicate(5, 2, 0, data), UnknownDisk);
  EXPECT_EQ(compare(5, 2, 0, data), UnknownDisk);
  EXPECT_EQ(store_->close_device(5, 2), UnknownDisk);
  EXPECT_TRUE(logged("failure 1 (unknown disk): open_device disk 2 group 5"));
}

TEST_F(DiskStoreTest, CallsOnADiskThatIsNotOpenAreRefusedAndWriteNothing) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  const Bytes data = pattern(4096, 1);
  EXPECT_EQ(replicate(5, 1, 0, data), NotOpen);
  EXPECT_EQ(compare(5, 1, 0, data), NotOpen);
  EXPECT_EQ(store_->close_device(5, 1), NotOpen);
  EXPECT_TRUE(read_file(path).empty());
}

TEST_F(DiskStoreTest, ADiskBelongsToTheGroupThatOpenedItUntilClosed) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  const Bytes data = pattern(4096, 1);
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_EQ(store_->open_device(5, 1), Opened);  // again by the same group: still fine
  EXPECT_EQ(store_->open_device(6, 1), Busy);
  EXPECT_EQ(replicate(6, 1, 0, data), NotOpen);
  EXPECT_EQ(compare(6, 1, 0, data), NotOpen);
  EXPECT_EQ(store_->close_device(6, 1), NotOpen);
  EXPECT_TRUE(read_file(path).empty());

  EXPECT_EQ(replicate(5, 1, 0, data), Replicated);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(store_->close_device(5, 1), NotOpen);
  EXPECT_EQ(store_->open_device(6, 1), Opened);
  EXPECT_EQ(compare(6, 1, 0, data), Identical);
}

TEST_F(DiskStoreTest, OpeningAMissingPathFailsAndLeavesTheDiskClosed) {
  make_store({{1, (dir_ / "missing.img").string(), false}});
  EXPECT_EQ(store_->open_device(5, 1), OpenFailed);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing.img"));
  EXPECT_EQ(store_->close_device(5, 1), NotOpen);
}

TEST_F(DiskStoreTest, AnImageAnotherServerHasOpenIsRefused) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  // The image stays locked for as long as the first store serves it, open
  // by a client or not.
  DiskStore other({{4, path, false}}, {}, hasher_);
  EXPECT_NE(other.open_disks().message().find("disk 4 (" + path +
                                              "): image file is locked by another process"),
            std::string::npos);
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_EQ(other.open_device(5, 4), OpenFailed);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(other.open_device(5, 4), OpenFailed);
  store_.reset();
  DiskStore third({{4, path, false}}, {}, hasher_);
  ASSERT_TRUE(third.open_disks().is_ok());
  EXPECT_EQ(third.open_device(5, 4), Opened);
}

TEST_F(DiskStoreTest, AChunkWithTheWrongDigestIsRefusedAndNotWritten) {
  const Bytes old = pattern(2 * kChunk, 7);
  const std::string path = make_file("a.img", old);
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);

  const Bytes data = pattern(kChunk, 8);
  Bytes digest = md5_of(data);
  digest[15] ^= 1;
  EXPECT_EQ(replicate(5, 1, kChunk, data, &digest), DigestMismatch);
  const Bytes short_digest(digest.begin(), digest.begin() + 15);
  EXPECT_EQ(replicate(5, 1, kChunk, data, &short_digest), BadArguments);
  const Bytes long_digest = pattern(20, 3);
  EXPECT_EQ(replicate(5, 1, 4 * kChunk, data, &long_digest), BadArguments);
  EXPECT_EQ(read_file(path), old);
  EXPECT_TRUE(logged("failure 5 (digest mismatch): replicate disk 1 group 5 offset 1048576"));
}

TEST_F(DiskStoreTest, OutOfRangeOffsetsAndLengthsAreRefused) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes data = pattern(4096, 1);
  const Bytes digest = md5_of(data);
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();

  EXPECT_EQ(replicate(5, 1, -1, data), BadArguments);
  EXPECT_EQ(replicate(5, 1, max - 100, data), BadArguments);
  EXPECT_EQ(replicate(5, 1, 0, Bytes{}), BadArguments);
  EXPECT_EQ(replicate(5, 1, 0, Bytes(kMaxChunkLength + 1, 0)), BadArguments);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, -kChunk, digest, 4096}), BadArguments);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, max - 100, digest, 4096}), BadArguments);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, 0, digest, 0}), BadArguments);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, 0, digest, -kChunk}), BadArguments);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, 0, digest, kMaxChunkLength + 1}), BadArguments);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, 0, Bytes(15), 4096}), BadArguments);
  EXPECT_TRUE(read_file(path).empty());

  // The largest chunk is accepted, and a compare as large is answered.
  const Bytes largest(kMaxChunkLength, 0);
  EXPECT_EQ(replicate(5, 1, 0, largest), Replicated);
  EXPECT_EQ(compare(5, 1, 0, largest), Identical);
}

TEST_F(DiskStoreTest, AnImageFileGrowsToHoldAChunkWrittenPastItsEnd) {
  const Bytes head = pattern(1000, 1);
  const std::string path = make_file("a.img", head);
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes data = pattern(kChunk, 2);
  ASSERT_EQ(replicate(5, 1, 3 * kChunk, data), Replicated);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  const Bytes content = read_file(path);
  ASSERT_EQ(content.size(), 4 * kChunk);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), content.begin()));
  EXPECT_TRUE(is_all_zero(content.data() + head.size(), 3 * kChunk - head.size()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), content.begin() + 3 * kChunk));
}

// Only where the end can never move: a growable image must receive the chunk.
TEST_F(DiskStoreTest, CompareCountsBytesPastTheEndAsZero) {
  const Bytes content = pattern(kChunk + kChunk / 2, 3);
  make_store({{2, make_file("fixed.img", content), true}});
  for (std::int16_t disk : {2}) {
    SCOPED_TRACE(disk);
    ASSERT_EQ(store_->open_device(5, disk), Opened);
    Bytes tail(content.begin() + kChunk, content.end());
    tail.resize(kChunk, 0);
    EXPECT_EQ(compare(5, disk, kChunk, tail), Identical);
    Bytes tail_with_garbage = tail;
    tail_with_garbage.back() = 1;
    EXPECT_EQ(compare(5, disk, kChunk, tail_with_garbage), Differs);
    EXPECT_EQ(compare(5, disk, 7 * kChunk, Bytes(kChunk, 0)), Identical);
    EXPECT_EQ(compare(5, disk, 7 * kChunk, pattern(kChunk, 4)), Differs);
    // A compare of several read pieces, straddling the end.
    Bytes whole = content;
    whole.resize(3 * kChunk, 0);
    EXPECT_EQ(compare(5, disk, 0, whole), Identical);
    ASSERT_EQ(store_->close_device(5, disk), Closed);
  }
  EXPECT_TRUE(logged("(identical 3, different 2)"));
}

class FixedSizeDiskTest : public DiskStoreTest {
 protected:
  void SetUp() override {
    DiskStoreTest::SetUp();
    old_ = pattern(kChunk + kChunk / 2, 9);
    path_ = make_file("fixed.img", old_);
    make_store({{1, path_, true}});
    ASSERT_EQ(store_->open_device(5, 1), Opened);
  }

  Bytes old_;
  std::string path_;
};

TEST_F(FixedSizeDiskTest, NonZeroDataPastTheEndIsRefusedAndNothingIsWritten) {
  Bytes data = pattern(kChunk, 10);  // no zero byte anywhere
  EXPECT_EQ(replicate(5, 1, kChunk, data), PastEnd);
  // One non-zero byte at the very end is enough.
  std::fill(data.begin() + kChunk / 2, data.end(), 0);
  data.back() = 0x80;
  EXPECT_EQ(replicate(5, 1, kChunk, data), PastEnd);
  EXPECT_EQ(replicate(5, 1, 2 * kChunk, pattern(kChunk, 11)), PastEnd);
  EXPECT_EQ(read_file(path_), old_);
}

TEST_F(FixedSizeDiskTest, ZeroDataPastTheEndIsAcceptedAndOnlyTheInRangePartWritten) {
  Bytes data = pattern(kChunk, 12);
  std::fill(data.begin() + kChunk / 2, data.end(), 0);
  ASSERT_EQ(replicate(5, 1, kChunk, data), Replicated);
  ASSERT_EQ(replicate(5, 1, 5 * kChunk, Bytes(kChunk, 0)), Replicated);
  EXPECT_EQ(compare(5, 1, kChunk, data), Identical);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  const Bytes content = read_file(path_);
  ASSERT_EQ(content.size(), old_.size());
  EXPECT_TRUE(std::equal(old_.begin(), old_.begin() + kChunk, content.begin()));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + kChunk / 2, content.begin() + kChunk));
  EXPECT_TRUE(logged("replicated 2 chunks (524288 bytes written)"));
}

TEST_F(DiskStoreTest, TheEndOfAGroupClosesOnlyTheDisksThatGroupOpened) {
  const std::string a = make_file("a.img", {});
  const std::string b = make_file("b.img", {});
  make_store({{1, a, false}, {2, b, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  ASSERT_EQ(store_->open_device(6, 2), Opened);
  const Bytes data = pattern(kChunk, 1);
  ASSERT_EQ(replicate(5, 1, 0, data), Replicated);

  store_->group_ended(5);
  EXPECT_TRUE(logged("disk 1 closed for group 5 (connection ended): replicated 1 chunks"));
  EXPECT_EQ(replicate(5, 1, 0, data), NotOpen);
  EXPECT_EQ(store_->open_device(7, 1), Opened);  // no longer busy
  EXPECT_EQ(compare(7, 1, 0, data), Identical);
  EXPECT_EQ(replicate(6, 2, 0, data), Replicated);  // the other group's disk is untouched

  store_->group_ended(99);  // a group that opened nothing
  EXPECT_EQ(replicate(6, 2, kChunk, data), Replicated);
}

TEST_F(DiskStoreTest, CloseLogsWhatTheGroupDid) {
  make_store({{3, make_file("a.img", {}), false}});
  ASSERT_EQ(store_->open_device(42, 3), Opened);
  const Bytes one = pattern(kChunk, 1);
  const Bytes two = pattern(kChunk, 2);
  ASSERT_EQ(replicate(42, 3, 0, one), Replicated);
  ASSERT_EQ(compare(42, 3, 0, one), Identical);
  ASSERT_EQ(compare(42, 3, kChunk, two), Differs);
  ASSERT_EQ(replicate(42, 3, kChunk, two), Replicated);
  Bytes wrong = md5_of(one);
  ASSERT_EQ(replicate(42, 3, 0, two, &wrong), DigestMismatch);
  ASSERT_EQ(store_->close_device(42, 3), Closed);
  EXPECT_TRUE(
      logged("disk 3 closed for group 42 (close_device): replicated 2 chunks (2097152 "
             "bytes written), compared 2 (identical 1, different 1), failures 1"));
}

TEST_F(DiskStoreTest, AFailedFlushIsReportedByEveryLaterReplicateAndTheClose) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes data = pattern(4096, 1);
  ASSERT_EQ(replicate(5, 1, 0, data), Replicated);
  // A flush that found no space may have lost more than its own write: it
  // stays a failed flush, in the words of the destination.
  io_.fail(DiskCall::Fdatasync, ENOSPC);
  EXPECT_EQ(replicate(5, 1, 4096, data), FlushFailed);
  EXPECT_TRUE(
      logged("failure 8 (flush failed): replicate disk 1 group 5 offset 4096: fdatasync: "
             "no space left on the destination's file system (errno 28)"));
  // The flush after a failed one succeeds, yet the data of the first may be lost.
  EXPECT_EQ(replicate(5, 1, 8192, data), FlushFailed);
  EXPECT_EQ(store_->close_device(5, 1), FlushFailed);
  // The failed close still closed the disk; a new open starts afresh.
  EXPECT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_EQ(replicate(5, 1, 4096, data), Replicated);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
}

TEST_F(DiskStoreTest, CloseAllReportsAFailedFinalFlush) {
  make_store({{1, make_file("a.img", {}), false}, {2, make_file("b.img", {}), false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  ASSERT_EQ(store_->open_device(6, 2), Opened);
  EXPECT_TRUE(store_->close_all());
  EXPECT_EQ(store_->open_device(7, 1), Opened);
  io_.fail(DiskCall::Fdatasync, EIO, 1, true);
  EXPECT_FALSE(store_->close_all());
  EXPECT_TRUE(logged("(shutdown)"));
  EXPECT_EQ(store_->close_device(7, 1), NotOpen);
}

TEST_F(DiskStoreTest, ConcurrentReplicatesAreAllWrittenWhereTheyBelong) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 6;
  constexpr std::size_t kLength = 256 * 1024;
  std::atomic<int> replicated{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int index = i * kThreads + t;  // interleave the threads' chunks on the disk
        const Bytes data = pattern(kLength, static_cast<std::uint32_t>(index));
        if (replicate(5, 1, static_cast<std::int64_t>(index) * kLength, data) == Replicated) {
          ++replicated;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(replicated, kThreads * kPerThread);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  const Bytes content = read_file(path);
  ASSERT_EQ(content.size(), kThreads * kPerThread * kLength);
  for (int index = 0; index < kThreads * kPerThread; ++index) {
    const Bytes data = pattern(kLength, static_cast<std::uint32_t>(index));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), content.begin() + index * kLength))
        << "chunk " << index;
  }
}

// The fake flush makes durable exactly what the file holds when it starts,
// the way fdatasync covers the writes completed before it. Every chunk
// answered Replicated must be in that durable copy, however the concurrent
// callers shared their flushes.
TEST_F(DiskStoreTest, EveryReplicatedChunkIsCoveredByAFlushThatStartedAfterItsWrite) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 16;
  constexpr std::size_t kLength = 16 * 1024;
  const std::string path = make_file("a.img", Bytes(kThreads * kPerThread * kLength, 0));
  std::mutex durable_mutex;
  Bytes durable(kThreads * kPerThread * kLength, 0);
  std::atomic<int> flushes{0};
  io_.skip_flushes();
  io_.before = [&](DiskCall call, int fd) {
    if (call != DiskCall::Fdatasync) return 0;
    {
      std::lock_guard lock(durable_mutex);
      const ssize_t n = ::pread(fd, durable.data(), durable.size(), 0);
      if (n != static_cast<ssize_t>(durable.size())) return EIO;
    }
    ++flushes;
    // Give the other callers time to pile up behind this flush.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    return 0;
  };
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  std::atomic<int> covered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int index = i * kThreads + t;
        const Bytes data = pattern(kLength, static_cast<std::uint32_t>(index) + 1000);
        const std::size_t offset = index * kLength;
        if (replicate(5, 1, static_cast<std::int64_t>(offset), data) != Replicated) continue;
        std::lock_guard lock(durable_mutex);
        if (std::equal(data.begin(), data.end(), durable.begin() + offset)) ++covered;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(covered, kThreads * kPerThread);
  EXPECT_LE(flushes, kThreads * kPerThread);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  store_.reset();  // its hook refers to this test's locals
}

// A close that arrives while a replicate waits for its flush must let the
// replicate finish on an open descriptor before flushing and closing.
TEST_F(DiskStoreTest, CloseWaitsForTheCallsInProgress) {
  std::mutex gate_mutex;
  std::condition_variable gate_cv;
  bool gate_open = false;
  std::atomic<int> calls{0};
  const std::string path = make_file("a.img", {});
  // The real fdatasync follows, and fails with EBADF if the descriptor was
  // closed meanwhile.
  io_.before = [&](DiskCall call, int) {
    if (call == DiskCall::Fdatasync && calls++ == 0) {
      std::unique_lock lock(gate_mutex);
      gate_cv.wait(lock, [&] { return gate_open; });
    }
    return 0;
  };
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes data = pattern(kChunk, 1);
  std::optional<std::int32_t> replicate_result;
  std::thread writer([&] { replicate_result = replicate(5, 1, 0, data); });
  while (calls == 0) std::this_thread::yield();

  std::atomic<bool> closed{false};
  std::optional<std::int32_t> close_result;
  std::thread closer([&] {
    close_result = store_->close_device(5, 1);
    closed = true;
  });
  // Give a wrong close the chance to run ahead; a right one stays blocked.
  for (int i = 0; i < 100 && !closed; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(closed);
  {
    std::lock_guard lock(gate_mutex);
    gate_open = true;
  }
  gate_cv.notify_all();
  writer.join();
  closer.join();
  EXPECT_EQ(replicate_result, Replicated);
  EXPECT_EQ(close_result, Closed);
  EXPECT_EQ(read_file(path), data);
  store_.reset();  // its hook refers to this test's locals
}

// Writes through the O_DIRECT descriptor, as the fake disk saw them.
struct DirectWrite {
  std::int64_t offset;
  std::size_t length;
  bool descriptor_direct;
  bool memory_aligned;
  const void* data;
};

class DirectIoTest : public DiskStoreTest {
 protected:
  void make_direct_store(std::vector<DiskConfig> disks) {
    make_store(std::move(disks));
    ASSERT_TRUE(open_status_.empty()) << open_status_;
  }

  // The kernel's refusal on demand: an O_DIRECT open, or a write through
  // such a descriptor, fails with `error` from now on.
  static DiskFault refusal(trvs_testing::DiskCall call, int error) {
    return DiskFault{call, error, 1, true, {}, O_DIRECT};
  }

  std::vector<DirectWrite> writes() {
    std::vector<DirectWrite> seen;
    for (const auto& write : io_.direct_writes()) {
      // The store keeps its descriptors until it goes, so the flags are
      // still there to be asked.
      seen.push_back({write.offset, write.length, (::fcntl(write.fd, F_GETFL) & O_DIRECT) != 0,
                      reinterpret_cast<std::uintptr_t>(write.data) % 4096 == 0, write.data});
    }
    return seen;
  }

  int log_count(const std::string& text) {
    std::lock_guard lock(log_mutex_);
    return static_cast<int>(std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    }));
  }
};

TEST_F(DirectIoTest, AnAlignedChunkIsWrittenDirectlyAndReadsBackThroughCompareAndTheFile) {
  const Bytes old = pattern(4 * kChunk, 20);
  const std::string path = make_file("a.img", old);
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  // Read first, so that the old bytes sit in the page cache the direct
  // write must not leave stale.
  ASSERT_EQ(compare(5, 1, 2 * kChunk, Bytes(old.begin() + 2 * kChunk, old.begin() + 3 * kChunk)),
            Identical);

  const Bytes data = pattern(kChunk, 21);
  ASSERT_EQ(replicate(5, 1, 2 * kChunk, data), Replicated);
  EXPECT_EQ(compare(5, 1, 2 * kChunk, data), Identical);
  EXPECT_EQ(compare(5, 1, 2 * kChunk, Bytes(old.begin() + 2 * kChunk, old.begin() + 3 * kChunk)),
            Differs);

  const auto seen = writes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].offset, 2 * kChunk);
  EXPECT_EQ(seen[0].length, static_cast<std::size_t>(kChunk));
  EXPECT_TRUE(seen[0].descriptor_direct);
  EXPECT_TRUE(seen[0].memory_aligned);

  // Read while the disk is still open, then again after the close.
  Bytes expected = old;
  std::copy(data.begin(), data.end(), expected.begin() + 2 * kChunk);
  EXPECT_EQ(read_file(path), expected);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(path), expected);
  EXPECT_EQ(log_count("direct"), 0);
}

// A chunk that the runtime placed at an aligned address goes to the disk
// from where it lies; one at any other address is copied to an aligned
// buffer first. Both land byte-exact.
TEST_F(DirectIoTest, AlignedChunksAreWrittenFromWhereTheyLieOthersFromACopy) {
  const std::string path = make_file("a.img", pattern(2 * kChunk, 29));
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  void* memory = nullptr;
  ASSERT_EQ(::posix_memalign(&memory, 4096, kChunk + 4096), 0);
  std::unique_ptr<std::uint8_t, decltype(&std::free)> block(static_cast<std::uint8_t*>(memory),
                                                            &std::free);
  const Bytes first = pattern(kChunk, 30);
  const Bytes second = pattern(kChunk, 31);
  std::copy(first.begin(), first.end(), block.get());
  const Bytes first_digest = md5_of(first);
  ASSERT_EQ(store_->replicate(5, ReplicateRequest{1, 0, first_digest, {block.get(), first.size()}}),
            Replicated);
  std::copy(second.begin(), second.end(), block.get() + 1);
  const Bytes second_digest = md5_of(second);
  ASSERT_EQ(store_->replicate(
                5, ReplicateRequest{1, kChunk, second_digest, {block.get() + 1, second.size()}}),
            Replicated);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  const auto seen = writes();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].data, block.get());
  EXPECT_NE(seen[1].data, block.get() + 1);
  EXPECT_TRUE(seen[1].memory_aligned);
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(read_file(path), expected);
}

TEST_F(DirectIoTest, ChunksLargerThanTheCopyBufferAreWrittenWhole) {
  const Bytes old = pattern(kChunk + kMaxChunkLength, 21);
  const std::string path = make_file("a.img", old);
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes data = pattern(kMaxChunkLength, 22);
  ASSERT_EQ(replicate(5, 1, kChunk, data), Replicated);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  const Bytes content = read_file(path);
  ASSERT_EQ(content.size(), old.size());
  EXPECT_TRUE(std::equal(old.begin(), old.begin() + kChunk, content.begin()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), content.begin() + kChunk));
  std::size_t direct_bytes = 0;
  for (const auto& write : writes()) direct_bytes += write.length;
  EXPECT_EQ(direct_bytes, static_cast<std::size_t>(kMaxChunkLength));
}

TEST_F(DirectIoTest, UnalignedChunksGoThroughThePageCache) {
  const Bytes old = pattern(3 * kChunk, 23);
  const std::string path = make_file("a.img", old);
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes one = pattern(1, 24);
  const Bytes odd = pattern(4097, 25);
  const Bytes shifted = pattern(kChunk, 26);
  ASSERT_EQ(replicate(5, 1, 7, one), Replicated);
  ASSERT_EQ(replicate(5, 1, kChunk, odd), Replicated);
  ASSERT_EQ(replicate(5, 1, 2 * kChunk + 512, shifted), Replicated);  // grows the file too
  EXPECT_TRUE(writes().empty());
  EXPECT_EQ(compare(5, 1, 2 * kChunk + 512, shifted), Identical);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  Bytes expected = old;
  expected[7] = one[0];
  std::copy(odd.begin(), odd.end(), expected.begin() + kChunk);
  expected.resize(3 * kChunk + 512);
  std::copy(shifted.begin(), shifted.end(), expected.begin() + 2 * kChunk + 512);
  EXPECT_EQ(read_file(path), expected);
}

TEST_F(DirectIoTest, TheInRangePartOfAChunkAtTheEndOfAFixedDiskIsWritten) {
  // One disk ends off the block size, so its last piece cannot go direct;
  // the other ends on it, so it can.
  const Bytes ragged_old = pattern(kChunk + 1000, 27);
  const Bytes even_old = pattern(kChunk + kChunk / 2, 28);
  const std::string ragged = make_file("ragged.img", ragged_old);
  const std::string even = make_file("even.img", even_old);
  make_direct_store({{1, ragged, true}, {2, even, true}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  ASSERT_EQ(store_->open_device(5, 2), Opened);

  Bytes last = pattern(kChunk, 29);
  std::fill(last.begin() + 1000, last.end(), 0);
  ASSERT_EQ(replicate(5, 1, kChunk, last), Replicated);
  EXPECT_TRUE(writes().empty());
  Bytes half = pattern(kChunk, 30);
  std::fill(half.begin() + kChunk / 2, half.end(), 0);
  ASSERT_EQ(replicate(5, 2, kChunk, half), Replicated);
  const auto seen = writes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].offset, kChunk);
  EXPECT_EQ(seen[0].length, static_cast<std::size_t>(kChunk / 2));
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  ASSERT_EQ(store_->close_device(5, 2), Closed);

  Bytes ragged_expected = ragged_old;
  std::copy(last.begin(), last.begin() + 1000, ragged_expected.begin() + kChunk);
  EXPECT_EQ(read_file(ragged), ragged_expected);
  Bytes even_expected = even_old;
  std::copy(half.begin(), half.begin() + kChunk / 2, even_expected.begin() + kChunk);
  EXPECT_EQ(read_file(even), even_expected);
}

TEST_F(DirectIoTest, ARefusedDirectOpenMeansBufferedWritesForThatOpen) {
  io_.fail(refusal(DiskCall::Open, EINVAL));
  const std::string path = make_file("a.img", {});
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes data = pattern(2 * kChunk, 31);
  ASSERT_EQ(replicate(5, 1, 0, data), Replicated);
  EXPECT_EQ(compare(5, 1, 0, data), Identical);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_TRUE(writes().empty());
  EXPECT_EQ(read_file(path), data);
  EXPECT_EQ(log_count("disk 1: no direct I/O (open with O_DIRECT: "), 1);

  // The next open tries again.
  io_.clear_faults();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  ASSERT_EQ(replicate(5, 1, 0, pattern(kChunk, 32)), Replicated);
  EXPECT_EQ(writes().size(), 1u);
}

TEST_F(DirectIoTest, ARefusedDirectWriteIsRedoneBufferedAndDirectIoStopsForGood) {
  io_.fail(refusal(DiskCall::Pwrite, EINVAL));
  const std::string path = make_file("a.img", pattern(2 * kChunk, 32));
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes first = pattern(kChunk, 33);
  const Bytes second = pattern(kChunk, 34);
  ASSERT_EQ(replicate(5, 1, 0, first), Replicated);
  ASSERT_EQ(replicate(5, 1, kChunk, second), Replicated);
  EXPECT_EQ(writes().size(), 1u);  // only the first was tried directly
  EXPECT_EQ(log_count("disk 1: direct write refused"), 1);
  EXPECT_EQ(compare(5, 1, 0, first), Identical);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(read_file(path), expected);
}

TEST_F(DirectIoTest, ADirectWriteThatFailsOtherwiseFailsTheChunk) {
  io_.fail(refusal(DiskCall::Pwrite, EIO));
  const std::string path = make_file("a.img", pattern(kChunk, 34));
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_EQ(replicate(5, 1, 0, pattern(kChunk, 35)), WriteFailed);
  EXPECT_TRUE(logged("failure 6 (write failed): replicate disk 1 group 5 offset 0"));
  io_.clear_faults();
  EXPECT_EQ(replicate(5, 1, 0, pattern(kChunk, 35)), Replicated);  // still direct
  EXPECT_EQ(writes().size(), 2u);
}

// Past the length the image had when the open began, a chunk's blocks are
// allocated first and it goes direct like the chunks inside it. Where the
// file system cannot allocate ahead, such chunks go through the page cache
// (their pages let go once flushed) and allocation is not tried again.
TEST_F(DirectIoTest, ChunksPastTheImageAsOpenedAreAllocatedAheadThenWrittenDirectly) {
  const Bytes old = pattern(kChunk, 35);
  const std::string path = make_file("a.img", old);
  make_direct_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes inside = pattern(kChunk, 36);
  const Bytes beyond = pattern(kChunk, 37);
  ASSERT_EQ(replicate(5, 1, 2 * kChunk, beyond), Replicated);  // leaves a gap
  ASSERT_EQ(replicate(5, 1, 0, inside), Replicated);
  EXPECT_EQ(io_.calls(DiskCall::Allocate), 1);
  EXPECT_EQ(io_.calls(DiskCall::DropCached), 0);
  auto seen = writes();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].offset, 2 * kChunk);
  EXPECT_EQ(compare(5, 1, 2 * kChunk, beyond), Identical);
  EXPECT_EQ(compare(5, 1, kChunk, Bytes(kChunk, 0)), Identical);

  io_.fail(DiskCall::Allocate, EOPNOTSUPP, 1, true);
  ASSERT_EQ(replicate(5, 1, 4 * kChunk, inside), Replicated);
  ASSERT_EQ(replicate(5, 1, 5 * kChunk, beyond), Replicated);
  EXPECT_EQ(io_.calls(DiskCall::Allocate), 2);
  EXPECT_EQ(io_.calls(DiskCall::DropCached), 2);
  EXPECT_EQ(writes().size(), 2u);
  EXPECT_EQ(log_count("cannot allocate ahead"), 1);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  Bytes expected = inside;
  expected.resize(2 * kChunk);
  expected.insert(expected.end(), beyond.begin(), beyond.end());
  expected.resize(4 * kChunk);
  expected.insert(expected.end(), inside.begin(), inside.end());
  expected.insert(expected.end(), beyond.begin(), beyond.end());
  EXPECT_EQ(read_file(path), expected);
}

// The same calls through both paths must leave byte-identical images.
TEST_F(DirectIoTest, DirectAndBufferedWritesLeaveIdenticalFiles) {
  const Bytes old = pattern(3 * kChunk + 300, 36);
  const std::string direct_path = make_file("direct.img", old);
  const std::string buffered_path = make_file("buffered.img", old);
  make_direct_store({{1, direct_path, false}});
  trvs_testing::FakeDiskIo buffered_io;
  buffered_io.fail(refusal(DiskCall::Open, EINVAL));
  DiskStore buffered({{1, buffered_path, false}}, {}, hasher_, buffered_io);
  ASSERT_TRUE(buffered.open_disks().is_ok());
  Bytes partly_zero = pattern(kChunk, 37);
  std::fill(partly_zero.begin(), partly_zero.begin() + 4096, 0);
  const std::vector<std::pair<std::int64_t, Bytes>> chunks = {
      {0, pattern(kChunk, 38)},          {kChunk, Bytes(kChunk, 0)},
      {2 * kChunk + 5, pattern(99, 39)}, {5 * kChunk, partly_zero},
      {7 * kChunk, Bytes(kChunk, 0)},    {3 * kChunk, pattern(2 * kChunk, 40)},
      {3 * kChunk + 300, Bytes(4096, 0)}};
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  ASSERT_EQ(buffered.open_device(5, 1), Opened);
  for (const auto& [offset, data] : chunks) {
    SCOPED_TRACE(offset);
    const Bytes digest = md5_of(data);
    const ReplicateRequest args{1, offset, digest, data};
    ASSERT_EQ(store_->replicate(5, args), Replicated);
    ASSERT_EQ(buffered.replicate(5, args), Replicated);
  }
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  ASSERT_EQ(buffered.close_device(5, 1), Closed);
  EXPECT_FALSE(writes().empty());

  Bytes expected = old;
  for (const auto& [offset, data] : chunks) {
    const std::size_t end = static_cast<std::size_t>(offset) + data.size();
    if (expected.size() < end) expected.resize(end, 0);
    std::copy(data.begin(), data.end(), expected.begin() + offset);
  }
  EXPECT_EQ(read_file(direct_path), expected);
  EXPECT_EQ(read_file(buffered_path), expected);
}

class ZeroChunkTest : public DiskStoreTest {
 protected:
  void SetUp() override {
    DiskStoreTest::SetUp();
    old_ = pattern(3 * kChunk, 41);
    path_ = make_file("a.img", old_);
    make_store({{1, path_, false}});
    ASSERT_EQ(store_->open_device(5, 1), Opened);
  }

  Bytes old_;
  std::string path_;
};

TEST_F(ZeroChunkTest, AZeroChunkOverDataLeavesZeros) {
  ASSERT_EQ(replicate(5, 1, kChunk, Bytes(kChunk, 0)), Replicated);
  // Not on a chunk boundary, and not a whole number of blocks.
  ASSERT_EQ(replicate(5, 1, 2 * kChunk + 100, Bytes(5000, 0)), Replicated);
  EXPECT_EQ(compare(5, 1, kChunk, Bytes(kChunk, 0)), Identical);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  Bytes expected = old_;
  std::fill(expected.begin() + kChunk, expected.begin() + 2 * kChunk, 0);
  std::fill(expected.begin() + 2 * kChunk + 100, expected.begin() + 2 * kChunk + 5100, 0);
  EXPECT_EQ(read_file(path_), expected);
  EXPECT_TRUE(logged("replicated 2 chunks (1053576 bytes written)"));
}

TEST_F(ZeroChunkTest, AZeroChunkPastTheEndGrowsTheImage) {
  ASSERT_EQ(replicate(5, 1, 5 * kChunk, Bytes(kChunk, 0)), Replicated);
  EXPECT_EQ(std::filesystem::file_size(path_), static_cast<std::uintmax_t>(6 * kChunk));
  // A zero chunk inside the file never shrinks it.
  ASSERT_EQ(replicate(5, 1, kChunk, Bytes(kChunk, 0)), Replicated);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  Bytes expected = old_;
  std::fill(expected.begin() + kChunk, expected.begin() + 2 * kChunk, 0);
  expected.resize(6 * kChunk, 0);
  EXPECT_EQ(read_file(path_), expected);
}

TEST_F(ZeroChunkTest, AZeroChunkWithAWrongDigestIsRefusedAndNotWritten) {
  const Bytes zeros(kChunk, 0);
  Bytes wrong(kZeroChunkDigest, kZeroChunkDigest + 16);
  wrong[0] ^= 0x40;
  EXPECT_EQ(replicate(5, 1, kChunk, zeros, &wrong), DigestMismatch);
  const Bytes other = md5_of(pattern(kChunk, 42));
  EXPECT_EQ(replicate(5, 1, 5 * kChunk, zeros, &other), DigestMismatch);
  // The known digest belongs to 1 MiB of zeros, and to no other length.
  const Bytes known(kZeroChunkDigest, kZeroChunkDigest + 16);
  EXPECT_EQ(replicate(5, 1, 0, Bytes(4096, 0), &known), DigestMismatch);
  EXPECT_EQ(replicate(5, 1, 0, Bytes(2 * kChunk, 0), &known), DigestMismatch);
  // Data that is zero but for one byte is hashed, not taken for zeros.
  Bytes almost = zeros;
  almost[kChunk - 1] = 1;
  EXPECT_EQ(replicate(5, 1, 0, almost, &known), DigestMismatch);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(path_), old_);
  EXPECT_TRUE(
      logged("replicated 0 chunks (0 bytes written), compared 0 (identical 0, "
             "different 0), failures 5"));
}

TEST_F(ZeroChunkTest, CompareOfAZeroRegionStillChecksTheDigest) {
  ASSERT_EQ(replicate(5, 1, kChunk, Bytes(kChunk, 0)), Replicated);
  const Bytes known(kZeroChunkDigest, kZeroChunkDigest + 16);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, kChunk, known, kChunk}), Identical);
  // Past the end of a growable image it differs, whatever the digest.
  EXPECT_EQ(store_->compare(5, CompareRequest{1, 9 * kChunk, known, kChunk}), Differs);
  EXPECT_EQ(store_->compare(5, CompareRequest{1, 0, known, kChunk}), Differs);
  const Bytes other = md5_of(pattern(kChunk, 43));
  EXPECT_EQ(store_->compare(5, CompareRequest{1, kChunk, other, kChunk}), Differs);
  // Half a chunk of zeros is hashed like any other length.
  EXPECT_EQ(store_->compare(5, CompareRequest{1, kChunk, known, kChunk / 2}), Differs);
  EXPECT_EQ(compare(5, 1, kChunk, Bytes(kChunk / 2, 0)), Identical);
}

// A file system that cannot punch holes: zero chunks are written as data,
// over old data and past the end alike, and that is said once.
TEST_F(DiskStoreTest, WhereRangesCannotBeZeroedZeroChunksAreWritten) {
  const Bytes old = pattern(2 * kChunk, 44);
  const std::string path = make_file("a.img", old);
  io_.before = [](DiskCall call, int) { return call == DiskCall::PunchHole ? EOPNOTSUPP : 0; };
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_EQ(replicate(5, 1, 0, Bytes(kChunk, 0)), Replicated);
  EXPECT_EQ(replicate(5, 1, kChunk, Bytes(kChunk, 0)), Replicated);
  EXPECT_EQ(replicate(5, 1, 3 * kChunk, Bytes(kChunk, 0)), Replicated);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(path), Bytes(4 * kChunk, 0));
  EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                          [](const std::string& line) {
                            return line.find("disk 1: cannot zero ranges (fallocate: ") == 0;
                          }),
            1);
  io_.before = nullptr;
}

// Bytes the file system holds for a file (its blocks, not its length).
std::int64_t allocated_bytes(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return static_cast<std::int64_t>(st.st_blocks) * 512;
}

// Over data, past the end and across it: the image reads back exactly as
// written, holds no block for the zeros, and still passes every destination
// check at the close.
TEST_F(DiskStoreTest, ZeroChunksBecomeHolesOrLengthAndReadBackAsZeros) {
  const Bytes old = pattern(3 * kChunk + kChunk / 2, 7);
  const std::string path = make_file("a.img", old);
  make_store({{1, path, false}});
  ASSERT_TRUE(open_status_.empty()) << open_status_;
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const std::int64_t before = allocated_bytes(path);
  const Bytes zeros(kChunk, 0);
  // Over data: the blocks are given back.
  ASSERT_EQ(replicate(5, 1, kChunk, zeros), Replicated);
  EXPECT_LE(allocated_bytes(path), before - kChunk);
  // Across the end (3.5 MiB), then far past it: the length grows, nothing
  // is allocated for it.
  ASSERT_EQ(replicate(5, 1, 3 * kChunk, zeros), Replicated);
  ASSERT_EQ(replicate(5, 1, 8 * kChunk, zeros), Replicated);
  EXPECT_EQ(std::filesystem::file_size(path), 9u * kChunk);
  EXPECT_LE(allocated_bytes(path), before - kChunk - kChunk / 2);
  // A zero chunk short of the end never cuts what lies past it.
  const Bytes tail = pattern(kChunk, 8);
  ASSERT_EQ(replicate(5, 1, 10 * kChunk, tail), Replicated);
  ASSERT_EQ(replicate(5, 1, 9 * kChunk, zeros), Replicated);
  EXPECT_EQ(io_.calls(DiskCall::Ftruncate), 2);
  EXPECT_EQ(compare(5, 1, kChunk, zeros), Identical);
  EXPECT_EQ(compare(5, 1, 8 * kChunk, zeros), Identical);
  EXPECT_EQ(store_->close_device(5, 1), Closed);

  Bytes expected = old;
  std::fill(expected.begin() + kChunk, expected.begin() + 2 * kChunk, 0);
  std::fill(expected.begin() + 3 * kChunk, expected.end(), 0);
  expected.resize(10 * kChunk, 0);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(read_file(path), expected);
  EXPECT_FALSE(logged("cannot zero ranges"));
}

TEST_F(DiskStoreTest, AFailedGrowthFailsTheChunkAndWithoutHolesZerosPastTheEndAreWritten) {
  const std::string path = make_file("a.img", pattern(2 * kChunk, 9));
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const Bytes zeros(kChunk, 0);
  io_.fail(DiskCall::Ftruncate, EFBIG);
  EXPECT_EQ(replicate(5, 1, 4 * kChunk, zeros), WriteFailed);
  EXPECT_TRUE(logged("offset 4194304: ftruncate: the image would pass the largest file"));
  io_.fail(DiskCall::Ftruncate, EINTR);
  EXPECT_EQ(replicate(5, 1, 4 * kChunk, zeros), Replicated);
  EXPECT_EQ(std::filesystem::file_size(path), 5u * kChunk);
  // A file system without holes: the zeros are written, past the end too.
  io_.fail(DiskCall::PunchHole, EOPNOTSUPP);
  EXPECT_EQ(replicate(5, 1, 0, zeros), Replicated);
  const int grown = io_.calls(DiskCall::Ftruncate);
  EXPECT_EQ(replicate(5, 1, 6 * kChunk, zeros), Replicated);
  EXPECT_EQ(io_.calls(DiskCall::Ftruncate), grown);
  EXPECT_TRUE(logged("disk 1: cannot zero ranges (fallocate: "));
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  Bytes expected = pattern(2 * kChunk, 9);
  std::fill(expected.begin(), expected.begin() + kChunk, 0);
  expected.resize(7 * kChunk, 0);
  EXPECT_EQ(read_file(path), expected);
}

// --disk 1 and --verify-disk 2 of one image: never both open; each may be
// had once the other is closed, in either order, whatever order the options
// came in.
TEST_F(DiskStoreTest, OneImageServedForWritingAndVerifyingIsOpenOnlyOnceAtATime) {
  const Bytes data = pattern(kChunk, 11);
  const std::string path = make_file("a.img", {});
  DiskConfig verify{2, path, false};
  verify.read_only = true;
  make_store({verify, {1, path, false}});
  ASSERT_TRUE(open_status_.empty()) << open_status_;
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_EQ(store_->open_device(6, 2), Busy);
  EXPECT_TRUE(
      logged("failure 10 (busy): open_device disk 2 group 6: disk 1, the same file, is open by "
             "group 5"));
  ASSERT_EQ(replicate(5, 1, 0, data), Replicated);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  ASSERT_EQ(store_->open_device(6, 2), Opened);
  EXPECT_EQ(compare(6, 2, 0, data), Identical);
  EXPECT_EQ(replicate(6, 2, 0, data), ReadOnly);
  EXPECT_EQ(store_->open_device(5, 1), Busy);
  ASSERT_EQ(store_->close_device(6, 2), Closed);
  EXPECT_EQ(store_->open_device(5, 1), Opened);
  store_.reset();

  // Any other pair of disks on one file is still refused: two writers, or a
  // second verifier.
  make_store({{1, path, false}, {3, path, true}});
  EXPECT_NE(open_status_.find("is the same file as disk 1"), std::string::npos) << open_status_;
  DiskConfig second = verify;
  second.number = 4;
  make_store({{1, path, false}, verify, second});
  EXPECT_NE(open_status_.find("disk 4 (" + path + "): is the same file as disk"), std::string::npos)
      << open_status_;
}

}  // namespace

// compare on a growable image answers Differs for any range that reaches past
// the file's current end, so that an incremental run into a short image sends
// the chunk (zeros included) and the image grows to the source's length.
TEST_F(DiskStoreTest, CompareReachingPastTheEndOfAGrowableImageDiffersUntilWritten) {
  const Bytes content = pattern(kChunk + kChunk / 2, 3);
  const std::string path = make_file("grows.img", content);
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  Bytes tail(content.begin() + kChunk, content.end());
  tail.resize(kChunk, 0);
  EXPECT_EQ(compare(5, 1, kChunk, tail), Differs);
  EXPECT_EQ(compare(5, 1, 4 * kChunk, Bytes(kChunk, 0)), Differs);
  // Ranges inside the file, the one ending exactly at its end included.
  EXPECT_EQ(compare(5, 1, 0, Bytes(content.begin(), content.begin() + kChunk)), Identical);
  EXPECT_EQ(compare(5, 1, kChunk / 2, Bytes(content.begin() + kChunk / 2, content.end())),
            Identical);

  ASSERT_EQ(replicate(5, 1, kChunk, tail), Replicated);
  ASSERT_EQ(replicate(5, 1, 4 * kChunk, Bytes(kChunk, 0)), Replicated);
  EXPECT_EQ(compare(5, 1, kChunk, tail), Identical);
  EXPECT_EQ(compare(5, 1, 4 * kChunk, Bytes(kChunk, 0)), Identical);
  EXPECT_EQ(compare(5, 1, 2 * kChunk, Bytes(kChunk, 0)), Identical);  // the hole between
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(5 * kChunk));
}

// The destination changed under an open disk: removed, replaced, cut short.
// The first replicate or close that can see it answers DestinationChanged,
// and so does every later call of that open.
class DestinationChangeTest : public DiskStoreTest {
 protected:
  void open(bool fixed = false, const Bytes& content = {}) {
    path_ = make_file("dest.img", content);
    make_store({{1, path_, fixed}});
    ASSERT_EQ(store_->open_device(5, 1), Opened);
  }
  // Three non-zero chunks at 0, 1 and 2 MiB.
  void write_three() {
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(replicate(5, 1, i * kChunk, pattern(kChunk, i)), Replicated);
  }
  void truncate_to(std::int64_t length) {
    ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(length)), 0);
  }
  // Every call of the open fails from now on, the close included, and the
  // disk is closed nonetheless.
  void expect_lost_from_now_on(const std::string& finding) {
    EXPECT_EQ(replicate(5, 1, 5 * kChunk, pattern(kChunk, 9)), DestinationChanged);
    EXPECT_EQ(compare(5, 1, 0, pattern(kChunk, 0)), DestinationChanged);
    EXPECT_EQ(store_->close_device(5, 1), DestinationChanged);
    EXPECT_EQ(store_->close_device(5, 1), NotOpen);
    EXPECT_TRUE(logged("disk 1: destination changed under group 5: " + finding)) << finding;
    EXPECT_TRUE(logged("failure 11 (destination changed): close_device disk 1 group 5"));
    EXPECT_TRUE(logged(", destination changed")) << "the summary line says so";
    int found = 0;
    for (const auto& line : log_)
      found += line.find("destination changed under") != std::string::npos;
    EXPECT_EQ(found, 1) << "one line names what was found";
  }

  std::string path_;
};

// Many writers growing an image nobody else touches, as a copy does: no
// check may take a write that ends while another thread looks for a cut.
TEST_F(DestinationChangeTest, AnImageGrownByManyWritersAtOnceIsNeverTakenForACut) {
  path_ = make_file("dest.img", {});
  io_.skip_flushes();
  make_store({{1, path_, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  constexpr int kThreads = 16;
  constexpr int kPerThread = 24;
  constexpr std::int64_t kLength = 128 * 1024;
  std::atomic<int> replicated{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int index = i * kThreads + t;
        if (replicate(5, 1, index * kLength, pattern(kLength, static_cast<std::uint32_t>(index))) ==
            Replicated) {
          ++replicated;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(replicated, kThreads * kPerThread);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_FALSE(logged("destination changed"));
}

TEST_F(DestinationChangeTest, ARemovedImageFailsTheNextReplicate) {
  open();
  write_three();
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  EXPECT_EQ(replicate(5, 1, 3 * kChunk, pattern(kChunk, 3)), DestinationChanged);
  expect_lost_from_now_on(path_ + " was removed");
}

TEST_F(DestinationChangeTest, AnImageReplacedByRenameFailsTheNextReplicate) {
  open();
  write_three();
  const std::string other = make_file("other.img", pattern(3 * kChunk, 0));
  ASSERT_EQ(::rename(other.c_str(), path_.c_str()), 0);
  EXPECT_EQ(replicate(5, 1, 3 * kChunk, pattern(kChunk, 3)), DestinationChanged);
  expect_lost_from_now_on(path_ + " now names another file");
}

TEST_F(DestinationChangeTest, AnImageCutToZeroIsSeenBeforeTheNextWrite) {
  open();
  write_three();
  truncate_to(0);
  // Refused before writing: a write at 3 MiB would make the length look right.
  EXPECT_EQ(replicate(5, 1, 3 * kChunk, pattern(kChunk, 3)), DestinationChanged);
  EXPECT_EQ(std::filesystem::file_size(path_), 0u);
  expect_lost_from_now_on(path_ + " is 0 bytes long, shorter than the 3145728 bytes written");
}

TEST_F(DestinationChangeTest, AnImageCutInTheMiddleFailsAtTheCloseEvenWithoutFurtherWrites) {
  for (bool fixed : {false, true}) {
    SCOPED_TRACE(fixed ? "fixed size" : "growable");
    log_.clear();
    open(fixed, fixed ? Bytes(4 * kChunk, 0) : Bytes{});
    write_three();
    truncate_to(kChunk + kChunk / 2);
    EXPECT_EQ(store_->close_device(5, 1), DestinationChanged);
    EXPECT_TRUE(logged("is 1572864 bytes long, shorter than the 3145728 bytes written"));
    EXPECT_TRUE(logged("failure 11 (destination changed): close_device disk 1 group 5"));
    // The close closed the disk: a new open starts afresh.
    ASSERT_EQ(store_->open_device(5, 1), Opened);
    EXPECT_EQ(replicate(5, 1, 0, pattern(kChunk, 0)), Replicated);
    EXPECT_EQ(store_->close_device(5, 1), Closed);
    store_.reset();
  }
}

// A cut followed by a write that grows the file past what was written makes
// the length right again; the probe byte in the first chunk does not.
TEST_F(DestinationChangeTest, ACutHiddenByALaterGrowthIsCaughtByTheProbe) {
  open();
  write_three();
  truncate_to(0);
  truncate_to(8 * kChunk);  // as a concurrent write far out would
  EXPECT_EQ(replicate(5, 1, 3 * kChunk, pattern(kChunk, 3)), DestinationChanged);
  expect_lost_from_now_on("byte 0 of " + path_ + " reads 0x00 where 0x");
}

TEST_F(DestinationChangeTest, AFileRemovedDuringACompareOnlyRunFailsTheClose) {
  open(false, pattern(2 * kChunk, 7));
  EXPECT_EQ(compare(5, 1, 0, pattern(2 * kChunk, 7)), Identical);
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  EXPECT_EQ(store_->close_device(5, 1), DestinationChanged);
  EXPECT_TRUE(logged(path_ + " was removed"));
}

// The client's own rewrites of the probe's chunk (other data, zeros, data
// again) are never taken for a change.
TEST_F(DestinationChangeTest, RewritingTheProbedChunkIsNoChange) {
  open();
  ASSERT_EQ(replicate(5, 1, kChunk, pattern(kChunk, 1)), Replicated);
  ASSERT_EQ(replicate(5, 1, 0, pattern(kChunk, 2)), Replicated);  // lower: probe moves
  ASSERT_EQ(replicate(5, 1, 0, pattern(kChunk, 3)), Replicated);  // over the probe
  ASSERT_EQ(replicate(5, 1, 0, Bytes(kChunk, 0)), Replicated);    // zeros over it
  ASSERT_EQ(replicate(5, 1, 2 * kChunk, pattern(kChunk, 4)), Replicated);
  Bytes sparse(kChunk, 0);
  sparse[kChunk - 1] = 0x5a;  // probe at its last byte
  ASSERT_EQ(replicate(5, 1, 0, sparse), Replicated);
  ASSERT_EQ(replicate(5, 1, kChunk - 4096, pattern(4096, 5)), Replicated);  // over it, unaligned
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_FALSE(logged("destination changed"));
}

// What a compare answered Identical is held to the same checks as what was
// written: a cut below it, a cut hidden by a later growth and a rename over
// the path, each in a run that only compares.
TEST_F(DestinationChangeTest, WhatACompareFoundIdenticalIsHeldToTheChecks) {
  const Bytes source = pattern(3 * kChunk, 6);
  const auto compare_all = [&] {
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(compare(5, 1, i * kChunk,
                        Bytes(source.begin() + i * kChunk, source.begin() + (i + 1) * kChunk)),
                Identical);
    }
  };
  {
    SCOPED_TRACE("cut below what was compared, seen by the next compare");
    open(false, source);
    compare_all();
    truncate_to(kChunk + kChunk / 2);
    EXPECT_EQ(compare(5, 1, 0, Bytes(source.begin(), source.begin() + kChunk)), DestinationChanged);
    expect_lost_from_now_on(path_ +
                            " is 1572864 bytes long, shorter than the 3145728 bytes this open "
                            "found identical to the source");
  }
  {
    SCOPED_TRACE("cut, grown back past it: the probe from the compare");
    log_.clear();
    open(false, source);
    compare_all();
    truncate_to(0);
    truncate_to(8 * kChunk);  // as writes far out would
    EXPECT_EQ(store_->close_device(5, 1), DestinationChanged);
    EXPECT_TRUE(logged("byte 0 of " + path_ + " reads 0x00 where 0x"));
    EXPECT_TRUE(logged(" was found identical"));
  }
  {
    SCOPED_TRACE("cut, then a write that would grow it back");
    log_.clear();
    open(false, source);
    compare_all();
    truncate_to(kChunk);
    EXPECT_EQ(replicate(5, 1, 5 * kChunk, pattern(kChunk, 9)), DestinationChanged);
    EXPECT_EQ(std::filesystem::file_size(path_), static_cast<std::uintmax_t>(kChunk));
    EXPECT_EQ(store_->close_device(5, 1), DestinationChanged);
  }
  {
    SCOPED_TRACE("the same bytes renamed over the path");
    log_.clear();
    open(false, source);
    compare_all();
    const std::string other = make_file("other.img", source);
    ASSERT_EQ(::rename(other.c_str(), path_.c_str()), 0);
    EXPECT_EQ(compare(5, 1, 0, Bytes(source.begin(), source.begin() + kChunk)), DestinationChanged);
    expect_lost_from_now_on(path_ + " now names another file");
  }
}

// A close releases the disk's lock while its calls end; no other open may
// start meanwhile, or the last writes of the one could land over the next.
// An incremental run compares in order, and trvs reads the chunks ahead of
// its compares: a chunk written after it was read ahead must be compared as
// it is now, never as it was read.
TEST_F(DiskStoreTest, ACompareAfterAWriteSeesTheWriteNotWhatWasReadAhead) {
  constexpr std::size_t kChunks = 48;
  std::vector<Bytes> chunks;
  Bytes image;
  for (std::size_t i = 0; i < kChunks; ++i) {
    chunks.push_back(pattern(kChunkLength, static_cast<std::uint32_t>(100 + i)));
    image.insert(image.end(), chunks.back().begin(), chunks.back().end());
  }
  make_store({{1, make_file("a.img", image), false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const auto at = [](std::size_t i) { return static_cast<std::int64_t>(i * kChunkLength); };
  for (std::size_t i = 0; i < 24; ++i) {
    ASSERT_EQ(compare(5, 1, at(i), chunks[i]), Identical) << i;
  }
  // Chunks 24 and on are read ahead by now, or being read.
  const Bytes fresh = pattern(kChunkLength, 7);
  ASSERT_EQ(replicate(5, 1, at(30), fresh), Replicated);
  EXPECT_EQ(compare(5, 1, at(30), chunks[30]), Differs);
  EXPECT_EQ(compare(5, 1, at(30), fresh), Identical);
  for (std::size_t i = 24; i < kChunks; ++i) {
    if (i == 30) continue;
    EXPECT_EQ(compare(5, 1, at(i), chunks[i]), Identical) << i;
  }
  EXPECT_EQ(store_->close_device(5, 1), Closed);
}

TEST_F(DiskStoreTest, NoOpenStartsWhileACloseWaitsForItsCalls) {
  std::mutex hold_mutex;
  std::condition_variable hold_cv;
  bool held = false;
  bool released = false;
  std::atomic<bool> armed{false};
  io_.before = [&](DiskCall call, int) {
    if ((call == DiskCall::Pread || call == DiskCall::PreadNowait) && armed.exchange(false)) {
      std::unique_lock lock(hold_mutex);
      held = true;
      hold_cv.notify_all();
      hold_cv.wait(lock, [&] { return released; });
    }
    return 0;
  };
  const Bytes data = pattern(kChunk, 1);
  make_store({{1, make_file("a.img", data), false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  armed = true;
  std::optional<std::int32_t> compared;
  std::thread reader([&] { compared = compare(5, 1, 0, data); });
  {
    std::unique_lock lock(hold_mutex);
    hold_cv.wait(lock, [&] { return held; });
  }
  std::optional<std::int32_t> closed;
  std::thread closer([&] { closed = store_->close_device(5, 1); });
  // Once the close has taken the session, the group's calls find it gone.
  while (compare(5, 1, 0, Bytes(4096, 1)) != NotOpen) std::this_thread::yield();
  store_->set_close_wait(std::chrono::milliseconds(0));
  EXPECT_EQ(store_->open_device(6, 1), Busy);
  EXPECT_EQ(store_->open_device(5, 1), Busy);
  EXPECT_TRUE(logged("open_device disk 1 group 6: disk is still being closed for group 5"));
  store_->set_close_wait(DiskStore::kCloseWait);
  std::optional<std::int32_t> opened;
  std::thread opener([&] { opened = store_->open_device(6, 1); });
  {
    std::lock_guard lock(hold_mutex);
    released = true;
  }
  hold_cv.notify_all();
  reader.join();
  closer.join();
  opener.join();
  EXPECT_EQ(compared, Identical);
  EXPECT_EQ(closed, Closed);
  EXPECT_EQ(opened, Opened);
  std::lock_guard lock(log_mutex_);
  const auto at = [&](const std::string& text) {
    return std::find_if(log_.begin(), log_.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  };
  EXPECT_LT(at("disk 1 closed for group 5"), at("disk 1 opened by group 6"));
}

// Memory that cannot be had fails the call it was for, with its own code;
// the server, the disk and later calls go on. A failed flush's fate is
// unknown, so it sticks for the open as any failed flush does.
TEST_F(DiskStoreTest, ACallThatRunsOutOfMemoryFailsAloneAndTheServerGoesOn) {
  std::atomic<int> throw_on{-1};
  io_.before = [&](DiskCall call, int) {
    if (static_cast<int>(call) == throw_on.load()) {
      throw_on = -1;
      throw std::bad_alloc();
    }
    return 0;
  };
  const Bytes data = pattern(kChunk, 1);
  const std::string path = make_file("a.img", data);
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  throw_on = static_cast<int>(DiskCall::Stat);
  EXPECT_EQ(compare(5, 1, 0, data), OutOfMemory);
  EXPECT_TRUE(logged("failure 13 (out of memory): compare disk 1 group 5: out of memory"));
  EXPECT_EQ(compare(5, 1, 0, data), Identical);
  throw_on = static_cast<int>(DiskCall::Pwrite);
  EXPECT_EQ(replicate(5, 1, 100, pattern(5000, 2)), OutOfMemory);
  EXPECT_EQ(replicate(5, 1, 100, pattern(5000, 2)), Replicated);
  throw_on = static_cast<int>(DiskCall::Fdatasync);
  EXPECT_EQ(replicate(5, 1, kChunk, pattern(kChunk, 3)), OutOfMemory);
  EXPECT_EQ(replicate(5, 1, kChunk, pattern(kChunk, 3)), OutOfMemory);
  EXPECT_EQ(store_->close_device(5, 1), OutOfMemory);
  EXPECT_TRUE(logged(", not flushed"));
  ASSERT_EQ(store_->open_device(6, 1), Opened);
  throw_on = static_cast<int>(DiskCall::Stat);
  EXPECT_EQ(store_->close_device(6, 1), OutOfMemory);
  EXPECT_EQ(store_->open_device(7, 1), Opened);  // that close ended the open all the same
  EXPECT_EQ(store_->close_device(7, 1), Closed);
  store_.reset();  // its hook refers to this test's locals
}

namespace {

// What open_disks finds at start, before any client: every disk that cannot
// be served is named with its path and the reason.
TEST_F(DiskStoreTest, OpenDisksNamesTheFirstDiskThatCannotBeServed) {
  const std::string good = make_file("a.img", {});
  const std::string missing = (dir_ / "missing.img").string();
  make_store({{1, good, false}, {2, missing, false}});
  EXPECT_EQ(open_status_, "disk 2 (" + missing + "): No such file or directory");
  EXPECT_EQ(store_->open_device(5, 2), OpenFailed);
  EXPECT_EQ(store_->open_device(5, 1), Opened);  // the good one was opened
  store_.reset();

  make_store({{3, dir_.string(), false}});
  EXPECT_EQ(open_status_,
            "disk 3 (" + dir_.string() + "): is a directory, not a block device or a regular file");
  make_store({{4, "/dev/null", false}});
  EXPECT_NE(open_status_.find("neither a block device nor a regular file"), std::string::npos);
  store_.reset();
  make_store({{5, good, false}, {6, good, true}});
  EXPECT_EQ(open_status_, "disk 6 (" + good + "): is the same file as disk 5");
  store_.reset();
  make_store({{7, good, true}});
  EXPECT_NE(open_status_.find("fixed-size image of 0 bytes"), std::string::npos);
}

TEST_F(DiskStoreTest, APathReplacedAfterTheStartIsNotServed) {
  const std::string path = make_file("a.img", pattern(kChunk, 1));
  make_store({{1, path, false}});
  ASSERT_EQ(open_status_, "");
  const std::string other = make_file("b.img", pattern(kChunk, 2));
  ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
  EXPECT_EQ(store_->open_device(5, 1), OpenFailed);
  EXPECT_TRUE(logged("no longer names the file trvs opened at start"));
  EXPECT_EQ(read_file(path), pattern(kChunk, 2));
}

// The descriptors outlive a session: a second open by another group writes
// through the same ones, and the lock is held in between.
TEST_F(DiskStoreTest, SessionsFollowEachOtherOnTheDescriptorsOpenedAtStart) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  ASSERT_EQ(replicate(5, 1, 0, pattern(kChunk, 1)), Replicated);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);  // the open ones still work
  ASSERT_EQ(store_->open_device(6, 1), Opened);
  EXPECT_EQ(compare(6, 1, 0, pattern(kChunk, 1)), Identical);
  EXPECT_EQ(replicate(6, 1, kChunk, pattern(kChunk, 2)), Replicated);
  EXPECT_EQ(store_->close_device(6, 1), Closed);
  ::chmod(path.c_str(), 0600);
  Bytes expected = pattern(kChunk, 1);
  const Bytes second = pattern(kChunk, 2);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(read_file(path), expected);
}

TEST_F(DiskStoreTest, AVerifyDiskComparesAndRefusesEveryReplicate) {
  // An exact copy of a source that ends 4242 bytes into a chunk.
  const Bytes old = pattern(2 * kChunk + 4242, 3);
  const std::string path = make_file("a.img", old);
  ASSERT_EQ(::chmod(path.c_str(), 0400), 0);  // opened read-only: needs no write permission
  DiskConfig config{1, path, false};
  config.read_only = true;
  make_store({config});
  ASSERT_EQ(open_status_, "");
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_TRUE(logged("image file of 2101394 bytes, read-only, bytes past its end compare as zero"));
  EXPECT_FALSE(logged("grows as needed"));
  EXPECT_EQ(compare(5, 1, 0, pattern(kChunk, 4)), Differs);
  EXPECT_EQ(compare(5, 1, kChunk, Bytes(old.begin() + kChunk, old.begin() + 2 * kChunk)),
            Identical);
  // The last chunk, padded with zeros as the client sends it: the padding
  // counts as the zeros past the end; one byte changed still differs.
  Bytes last(old.begin() + 2 * kChunk, old.end());
  last.resize(kChunk, 0);
  EXPECT_EQ(compare(5, 1, 2 * kChunk, last), Identical);
  last[100] ^= 1;
  EXPECT_EQ(compare(5, 1, 2 * kChunk, last), Differs);
  last[100] ^= 1;
  last[5000] = 1;  // past the end, not zero
  EXPECT_EQ(compare(5, 1, 2 * kChunk, last), Differs);
  EXPECT_EQ(replicate(5, 1, 0, pattern(kChunk, 4)), ReadOnly);
  EXPECT_EQ(replicate(5, 1, 2 * kChunk, Bytes(kChunk, 0)), ReadOnly);
  EXPECT_TRUE(logged("failure 12 (read-only): replicate disk 1 group 5 offset 0"));
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(path), old);
  // Another server may verify the same image, but not write it.
  DiskStore verifier({config}, {}, hasher_);
  EXPECT_TRUE(verifier.open_disks().is_ok());
  DiskStore writer({{2, path, false}}, {}, hasher_);
  EXPECT_FALSE(writer.open_disks().is_ok());
}

// Nothing past the bound is dropped, zeros included: they may be the
// source's own, and an image cut at the bound would pass for a copy.
TEST_F(DiskStoreTest, AnImageGrowsNoFurtherThanItsMaximumSize) {
  const std::string path = make_file("a.img", {});
  DiskConfig config{1, path, false};
  config.max_size = 3 * kChunk / 2;
  make_store({config});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_EQ(replicate(5, 1, 0, pattern(kChunk, 1)), Replicated);
  EXPECT_EQ(replicate(5, 1, kChunk, pattern(kChunk, 2)), PastEnd);
  EXPECT_TRUE(
      logged("failure 9 (past end): replicate disk 1 group 5 offset 1048576: non-zero "
             "data beyond 1572864 bytes, the largest this image may grow to"));
  Bytes padded(kChunk, 0);
  const Bytes half = pattern(kChunk / 2, 3);
  std::copy(half.begin(), half.end(), padded.begin());
  EXPECT_EQ(replicate(5, 1, kChunk, padded), PastEnd);
  EXPECT_TRUE(
      logged("failure 9 (past end): replicate disk 1 group 5 offset 1048576: data beyond "
             "1572864 bytes, the largest this image may grow to (--max-size); zeros too"));
  EXPECT_EQ(replicate(5, 1, kChunk, Bytes(kChunk, 0)), PastEnd);
  EXPECT_EQ(replicate(5, 1, std::int64_t{1} << 40, Bytes(4096, 0)), PastEnd);
  EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(kChunk));
  // A chunk that ends at the bound fits.
  EXPECT_EQ(replicate(5, 1, kChunk, half), Replicated);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(3 * kChunk / 2));
}

// Without --max-size the bound is the file system's size (at most 16 TiB):
// one chunk far out must not make a sparse file of a terabyte.
TEST_F(DiskStoreTest, ByDefaultAnImageGrowsNoFurtherThanItsFileSystem) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const std::filesystem::space_info space = std::filesystem::space(dir_);
  const auto far = static_cast<std::int64_t>(
      std::min<std::uintmax_t>(space.capacity, static_cast<std::uintmax_t>(kDefaultMaxImageSize)));
  EXPECT_EQ(replicate(5, 1, far, pattern(4096, 1)), PastEnd);
  if (far <= (std::int64_t{1} << 40)) {
    EXPECT_EQ(replicate(5, 1, std::int64_t{1} << 40, pattern(4096, 1)), PastEnd);
  }
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

// A peer that repeats a failing call gets a bounded share of the log; the
// count of what was left out follows once the interval is over.
TEST_F(DiskStoreTest, FailureLinesAreLimitedPerPeer) {
  const std::string path = make_file("a.img", {});
  make_store({{1, path, false}});
  auto now = LineBudget::Clock::now();
  store_->set_clock([&now] { return now; });
  const auto count = [this](const std::string& text) {
    std::lock_guard lock(log_mutex_);
    return std::count_if(log_.begin(), log_.end(),
                         [&](const std::string& line) { return line.find(text) != line.npos; });
  };
  for (int i = 0; i < 2000; ++i)
    EXPECT_EQ(store_->open_device(Caller{5, "192.0.2.7"}, 9), UnknownDisk);
  EXPECT_EQ(store_->open_device(Caller{6, "192.0.2.8"}, 9), UnknownDisk);  // another peer
  EXPECT_EQ(count("failure 1 (unknown disk): open_device disk 9 group 5"), 10);
  EXPECT_EQ(count("failures from 192.0.2.7: more than 10 lines in 10 s"), 1);
  EXPECT_EQ(count("group 6"), 1);
  store_->report_suppressed();  // the interval is not over yet
  EXPECT_EQ(count("lines suppressed"), 0);
  now += std::chrono::seconds(10);
  store_->report_suppressed();
  EXPECT_EQ(count("failures from 192.0.2.7: 1990 lines suppressed"), 1);
  // A new interval starts afresh; at the end the destructor reports the rest.
  for (int i = 0; i < 12; ++i) (void)store_->open_device(Caller{5, "192.0.2.7"}, 9);
  EXPECT_EQ(count("open_device disk 9 group 5"), 20);
  store_.reset();
  EXPECT_EQ(count("failures from 192.0.2.7: 2 lines suppressed"), 1);
  EXPECT_EQ(log_.size(), 10u + 1 + 1 + 1 + 10 + 1 + 1);
}

// Calls on the disk that fail, through the fake: each failure must reach the
// client as a failure of the chunk (never as Replicated, Identical or
// Differs), and a call the kernel interrupts must simply be made again.
class DiskFaultTest : public DiskStoreTest {
 protected:
  void SetUp() override {
    DiskStoreTest::SetUp();
    old_ = pattern(2 * kChunk, 50);
    path_ = make_file("a.img", old_);
  }

  void open() {
    make_store({{1, path_, false}});
    ASSERT_TRUE(open_status_.empty()) << open_status_;
    ASSERT_EQ(store_->open_device(5, 1), Opened);
  }

  Bytes old_;
  std::string path_;
};

TEST_F(DiskFaultTest, AFailedReadFailsTheCompareAndAnInterruptedOneIsRedone) {
  open();
  // Nothing of the image in the page cache: every read goes to the disk.
  io_.fail(DiskFault{DiskCall::PreadNowait, EAGAIN, 1, true, {}, 0});
  const Bytes first(old_.begin(), old_.begin() + kChunk);
  // The reading ahead of the whole chunk fails, and so does the compare's
  // own read after it.
  io_.fail(DiskCall::Pread, EIO);
  io_.fail(DiskCall::Pread, EIO, 2);
  EXPECT_EQ(compare(5, 1, 0, first), ReadFailed);
  EXPECT_TRUE(logged("failure 7 (read failed): compare disk 1 group 5 offset 0: pread: "));
  // A range larger than one read fails on its second piece as well.
  const Bytes both = old_;
  io_.fail(DiskCall::Pread, EIO, 2);
  EXPECT_EQ(compare(5, 1, 0, both), ReadFailed);
  io_.fail(DiskCall::Pread, EINTR);
  EXPECT_EQ(compare(5, 1, 0, first), Identical);
  // The length of a growable image cannot be had: nothing is known.
  io_.fail(DiskCall::Fstat, EIO);
  EXPECT_EQ(compare(5, 1, kChunk, Bytes(old_.begin() + kChunk, old_.end())), ReadFailed);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_TRUE(logged("compared 1 (identical 1, different 0), failures 3"));
}

TEST_F(DiskFaultTest, AFailedZeroRangeFailsTheChunkUnlessTheFileSystemCannotZero) {
  open();
  const Bytes zeros(kChunk, 0);
  io_.fail(DiskCall::PunchHole, EIO);
  EXPECT_EQ(replicate(5, 1, 0, zeros), WriteFailed);
  EXPECT_TRUE(logged("replicate disk 1 group 5 offset 0: fallocate: "));
  io_.fail(DiskCall::PunchHole, ENOSPC);
  EXPECT_EQ(replicate(5, 1, 0, zeros), NoSpace);
  EXPECT_TRUE(logged("offset 0: fallocate: no space left on the destination's file system"));
  io_.fail(DiskCall::PunchHole, EINTR);
  EXPECT_EQ(replicate(5, 1, 0, zeros), Replicated);
  // A file system that cannot zero ranges gets the zeros written, from now on.
  io_.fail(DiskCall::PunchHole, EOPNOTSUPP);
  EXPECT_EQ(replicate(5, 1, kChunk, zeros), Replicated);
  const int tried = io_.calls(DiskCall::PunchHole);
  EXPECT_EQ(replicate(5, 1, 2 * kChunk, zeros), Replicated);
  EXPECT_EQ(io_.calls(DiskCall::PunchHole), tried);
  EXPECT_TRUE(logged("disk 1: cannot zero ranges (fallocate: "));
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(path_), Bytes(3 * kChunk, 0));
}

TEST_F(DiskFaultTest, AFailedBufferedWriteFailsTheChunkAndAnInterruptedOneIsRedone) {
  open();
  const Bytes odd = pattern(5000, 51);  // not whole blocks: buffered
  // Nothing answered Replicated, and no failed write counts. A full file
  // system or quota is no space; a file too large for its file system is
  // said in its own words but stays a failed write.
  const struct {
    int error;
    std::int32_t answer;
    const char* line;
  } failures[] = {
      {EIO, WriteFailed, "failure 6 (write failed): replicate disk 1 group 5 offset 100: pwrite: "},
      {ENOSPC, NoSpace,
       "failure 14 (no space): replicate disk 1 group 5 offset 100: pwrite: no space left on the "
       "destination's file system (errno 28)"},
      {EDQUOT, NoSpace, "pwrite: the disk quota on the destination's file system is used up"},
      {EFBIG, WriteFailed,
       "failure 6 (write failed): replicate disk 1 group 5 offset 100: pwrite: the image would "
       "pass the largest file its file system holds (errno 27)"},
  };
  for (const auto& failure : failures) {
    io_.fail(DiskCall::Pwrite, failure.error);
    EXPECT_EQ(replicate(5, 1, 100, odd), failure.answer) << failure.line;
    EXPECT_TRUE(logged(failure.line));
  }
  io_.fail(DiskCall::Pwrite, EINTR);
  EXPECT_EQ(replicate(5, 1, 100, odd), Replicated);
  EXPECT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_TRUE(logged("replicated 1 chunks (5000 bytes written)"));
  Bytes expected = old_;
  std::copy(odd.begin(), odd.end(), expected.begin() + 100);
  EXPECT_EQ(read_file(path_), expected);
}

// The kernel may write less than asked, direct or buffered; the rest must
// follow, byte-exact.
TEST_F(DiskFaultTest, ShortWritesAreCompleted) {
  open();
  io_.limit_writes(3000);
  const Bytes aligned = pattern(kChunk, 52);
  const Bytes odd = pattern(10000, 53);
  ASSERT_EQ(replicate(5, 1, 0, aligned), Replicated);
  ASSERT_EQ(replicate(5, 1, kChunk + 7, odd), Replicated);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_GT(io_.calls(DiskCall::Pwrite), static_cast<int>(kChunk / 3000));
  Bytes expected = old_;
  std::copy(aligned.begin(), aligned.end(), expected.begin());
  std::copy(odd.begin(), odd.end(), expected.begin() + kChunk + 7);
  EXPECT_EQ(read_file(path_), expected);
}

TEST_F(DiskFaultTest, FailuresWhileOpeningADiskAreReportedWithTheCall) {
  const struct {
    DiskCall call;
    int nth;
    std::string message;
  } cases[] = {
      {DiskCall::Stat, 1, "disk 1 (" + path_ + "): "},
      {DiskCall::Open, 1, "open for reading and writing: "},
      {DiskCall::Fstat, 1, "fstat: "},
      {DiskCall::Flock, 1, "flock: "},
      {DiskCall::Fstatvfs, 1, "fstatvfs: "},
      {DiskCall::Pread, 1, "cannot be read: pread: "},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.message);
    trvs_testing::FakeDiskIo io;
    io.fail(one.call, EIO, one.nth);
    DiskStore store({{1, path_, false}}, {}, hasher_, io);
    const Status status = store.open_disks();
    EXPECT_EQ(status.code(), OpenFailed);
    EXPECT_NE(status.message().find(one.message), std::string::npos) << status.message();
    EXPECT_EQ(store.open_device(5, 1), OpenFailed);
    // Whatever was opened is closed again.
    EXPECT_EQ(io.calls(DiskCall::Close), io.calls(DiskCall::Open) - (one.call == DiskCall::Open));
  }
}

TEST_F(DiskFaultTest, AnOpenThatCannotTellTheImageLengthIsRefused) {
  make_store({{1, path_, false}});
  io_.fail(DiskCall::Fstat, EIO);
  EXPECT_EQ(store_->open_device(5, 1), OpenFailed);
  EXPECT_TRUE(logged("failure 2 (cannot open): open_device disk 1 group 5: fstat: "));
  EXPECT_EQ(store_->open_device(5, 1), Opened);
}

}  // namespace
