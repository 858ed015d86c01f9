// The digest map through the disk store: which compares it answers without
// reading the image, and every way the image or the map can change that must
// make the next open read the image instead. Reads of the image are counted
// through the fake disk calls; the map's own file is not read through them.
#include "server/digest_map.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "server/disk_io_fake.h"
#include "server/disk_store.h"
#include "server/testing.h"
#include "service/server_result.h"

namespace {

constexpr std::int64_t kChunk = kChunkLength;
constexpr std::int64_t kChunks = 8;

using trvs_testing::Bytes;
using trvs_testing::DiskCall;
using trvs_testing::md5_of;
using trvs_testing::pattern;

class DigestMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    std::filesystem::create_directory(maps_);
    image_ = (dir_ / "a.img").string();
    std::ofstream(image_).flush();
    for (std::int64_t i = 0; i < kChunks; ++i) source_.push_back(pattern(kChunk, 100 + i));
    // Reads of a chunk at most, so that counting reads counts the chunks
    // read, however many the reading ahead of compares takes at once.
    io_.limit_reads(kChunk);
  }
  void TearDown() override { store_.reset(); }

  // A store as trvs makes one at start: the previous one is gone, as after
  // a restart.
  void restart(bool read_only = false) {
    store_.reset();
    DiskConfig config{1, image_, false};
    config.read_only = read_only;
    config.digest_map_dir = maps_.string();
    store_ = std::make_unique<DiskStore>(
        std::vector<DiskConfig>{config},
        [this](const Event& event) {
          std::lock_guard lock(log_mutex_);
          log_.push_back(event.text);
        },
        hasher_, io_);
    ASSERT_TRUE(store_->open_disks().is_ok());
  }

  std::optional<std::int32_t> replicate(std::int64_t index, const Bytes& data) {
    return store_->replicate(5, ReplicateRequest{1, index * kChunk, md5_of(data), data});
  }
  std::optional<std::int32_t> compare(std::int64_t index, const Bytes& data) {
    return store_->compare(5, CompareRequest{1, index * kChunk, md5_of(data), kChunk});
  }

  // A full copy of the source in one open, which leaves a map behind.
  void full_copy() {
    restart();
    ASSERT_EQ(store_->open_device(5, 1), Opened);
    for (std::int64_t i = 0; i < kChunks; ++i) ASSERT_EQ(replicate(i, source_[i]), Replicated);
    ASSERT_EQ(store_->close_device(5, 1), Closed);
    ASSERT_TRUE(logged("saved: 8 chunks known"));
  }

  // The calls that read the image so far.
  int reads() const { return io_.calls(DiskCall::Pread) + io_.calls(DiskCall::PreadNowait); }

  // Compares every chunk with the source: how many were identical, and how
  // many reads of the image that took.
  std::pair<int, int> incremental() {
    const int before = reads();
    int identical = 0;
    for (std::int64_t i = 0; i < kChunks; ++i) identical += compare(i, source_[i]) == Identical;
    return {identical, reads() - before};
  }

  std::string map_file() {
    struct stat st;
    EXPECT_EQ(::stat(image_.c_str(), &st), 0);
    return (maps_ / ("trvs-map-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino)))
        .string();
  }

  Bytes read_file(const std::string& path) { return trv_testing::read_whole_file(path); }
  void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
  }
  Bytes joined() {
    Bytes all;
    for (const auto& chunk : source_) all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
  }

  bool logged(const std::string& text) {
    std::lock_guard lock(log_mutex_);
    for (const auto& line : log_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::string log_text() {
    std::lock_guard lock(log_mutex_);
    std::string text;
    for (const auto& line : log_) text += line + "\n";
    return text;
  }
  // A run over an unchanged image with a current map: every compare
  // identical, not one read.
  void unchanged_run() {
    restart();
    ASSERT_EQ(store_->open_device(5, 1), Opened);
    EXPECT_EQ(incremental(), std::make_pair(8, 0));
    ASSERT_EQ(store_->close_device(5, 1), Closed);
  }
  void clear_log() {
    std::lock_guard lock(log_mutex_);
    log_.clear();
  }

  trvs_testing::ScratchDir scratch_;
  const std::filesystem::path& dir_ = scratch_.path();
  std::filesystem::path maps_ = dir_ / "maps";
  std::string image_;
  std::vector<Bytes> source_;
  HashCombiner hasher_;
  trvs_testing::FakeDiskIo io_;
  std::unique_ptr<DiskStore> store_;
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

TEST_F(DigestMapTest, AnIncrementalRunWithAValidMapReadsNothingFromTheImage) {
  // The first open finds no map; what it writes makes one.
  full_copy();
  EXPECT_TRUE(logged("not used (missing)")) << log_text();

  // Unchanged: every chunk identical, not one read.
  restart();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_TRUE(logged("digest map " + map_file() + " used: 8 chunks known")) << log_text();
  EXPECT_EQ(incremental(), std::make_pair(8, 0));

  // Two chunks of the source change, one of them to zeros: they differ
  // without a read, are written, and the next compares find them identical
  // from what the writes left in the map.
  source_[2] = pattern(kChunk, 7);
  source_[5] = Bytes(kChunk, 0);
  const int before = reads();
  EXPECT_EQ(compare(2, source_[2]), Differs);
  EXPECT_EQ(compare(5, source_[5]), Differs);
  EXPECT_EQ(reads(), before);
  ASSERT_EQ(replicate(2, source_[2]), Replicated);
  ASSERT_EQ(replicate(5, source_[5]), Replicated);
  EXPECT_EQ(incremental().first, 8);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(image_), joined());

  // And so does the run after it, still without reading.
  unchanged_run();
  EXPECT_TRUE(logged("saved: 8 chunks known, 8 compares answered from it")) << log_text();
  EXPECT_EQ(read_file(image_), joined());

  // An image copied in by other means: the first incremental reads it and
  // keeps what it read, the next one reads nothing.
  std::filesystem::remove(map_file());
  restart();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const auto [identical, first_reads] = incremental();
  EXPECT_EQ(identical, 8);
  EXPECT_GE(first_reads, 8);
  EXPECT_EQ(incremental(), std::make_pair(8, 0));
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  unchanged_run();
}

// Each change below would have the map answer wrongly had it been trusted:
// the compare that must read the image names the chunk that changed.
TEST_F(DigestMapTest, AMapIsNotTrustedOnceTheImageOrTheMapChangedBetweenRuns) {
  full_copy();
  // `answer`: what the image holds at chunk `index` against the source.
  const auto check = [&](const std::string& reason, std::int64_t index, std::int32_t answer) {
    SCOPED_TRACE(reason);
    restart();
    ASSERT_EQ(store_->open_device(5, 1), Opened);
    EXPECT_TRUE(logged("digest map " + map_file() + " not used (" + reason)) << log_text();
    const int before = reads();
    EXPECT_EQ(compare(index, source_[index]), answer);
    EXPECT_GT(reads(), before);
    // Written again, so that the next case starts from a trusted map.
    for (std::int64_t i = 0; i < kChunks; ++i) ASSERT_EQ(replicate(i, source_[i]), Replicated);
    ASSERT_EQ(store_->close_device(5, 1), Closed);
    EXPECT_EQ(read_file(image_), joined());
    unchanged_run();
    clear_log();
  };

  // Written by another program, length unchanged: its times changed.
  {
    std::fstream image(image_, std::ios::binary | std::ios::in | std::ios::out);
    image.seekp(3 * kChunk + 10);
    image.put('x');
  }
  check("stamp differs: modification time, change time", 3, Differs);

  // Cut and grown back to the same length: zeros where the map says data.
  ASSERT_EQ(::truncate(image_.c_str(), 4 * kChunk), 0);
  ASSERT_EQ(::truncate(image_.c_str(), kChunks * kChunk), 0);
  check("stamp differs: modification time, change time", 6, Differs);

  // Replaced by another file, which finds the old file's map under its own
  // name (as when an inode number comes back).
  {
    const std::string old_map = map_file();
    Bytes other = joined();
    other[kChunk + 5] ^= 0xff;
    write_file((dir_ / "b.img").string(), other);
    std::filesystem::rename(dir_ / "b.img", image_);
    std::filesystem::copy_file(old_map, map_file());
  }
  check("stamp differs: another file", 1, Differs);

  // The map's own bytes damaged: one bit of chunk 0's digest.
  {
    Bytes map = read_file(map_file());
    map[72 + 8] ^= 1;
    write_file(map_file(), map);
  }
  check("checksum wrong", 0, Identical);

  // The map left as a write found it, not as a clean close leaves it.
  {
    Bytes map = read_file(map_file());
    map[12] = 0;
    write_file(map_file(), map);
  }
  check("not closed cleanly", 4, Identical);
}

// A trvs that is killed, or a machine that loses power, in the middle of an
// open leaves the map as it was before the open's first write, saying not
// current; anything else would vouch for chunks that were being changed.
TEST_F(DigestMapTest, TheFirstWriteMarksTheMapStaleOnDiskBeforeTheImageChanges) {
  full_copy();
  std::atomic<bool> watching{false};
  std::atomic<int> state_at_write{-1};
  std::string map_path;
  io_.before = [&](DiskCall call, int) {
    if ((call == DiskCall::Pwrite || call == DiskCall::PunchHole || call == DiskCall::Ftruncate) &&
        watching.exchange(false)) {
      const Bytes map = read_file(map_path);
      state_at_write = map.size() > 12 ? map[12] : -2;
    }
    return 0;
  };
  restart();
  map_path = map_file();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  watching = true;
  source_[6] = Bytes(kChunk, 0);  // a zero chunk is a write too
  ASSERT_EQ(replicate(6, source_[6]), Replicated);
  EXPECT_EQ(state_at_write, 0);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(map_path)[12], 1);  // a clean close makes it current
  io_.before = nullptr;
}

TEST_F(DigestMapTest, AFailedFlushWriteOrDestinationCheckLeavesNoTrustedMap) {
  // A failed flush: the map goes, and the next open reads.
  full_copy();
  restart();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  io_.fail(DiskCall::Fdatasync, EIO, 1, true);
  EXPECT_EQ(replicate(1, source_[1]), FlushFailed);
  EXPECT_EQ(store_->close_device(5, 1), FlushFailed);
  io_.clear_faults();
  EXPECT_FALSE(std::filesystem::exists(map_file()));
  EXPECT_TRUE(logged("discarded: a flush failed")) << log_text();
  restart();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  EXPECT_TRUE(logged("not used (missing)"));
  EXPECT_GE(incremental().second, 8);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  // A failed write: the chunk is forgotten, the others still answered.
  restart();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  io_.fail(DiskCall::Pwrite, EIO);
  EXPECT_EQ(replicate(2, pattern(kChunk, 9)), WriteFailed);
  int before = reads();
  EXPECT_EQ(compare(3, source_[3]), Identical);
  EXPECT_EQ(reads(), before);
  EXPECT_EQ(compare(2, source_[2]), Identical);  // nothing was written
  EXPECT_GT(reads(), before);
  ASSERT_EQ(store_->close_device(5, 1), Closed);

  // A destination check that fails (11) removes the map at once.
  restart();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  ASSERT_EQ(compare(0, source_[0]), Identical);
  const std::string map_path = map_file();
  ASSERT_TRUE(std::filesystem::exists(map_path));
  ASSERT_EQ(::truncate(image_.c_str(), 0), 0);
  EXPECT_EQ(compare(1, source_[1]), DestinationChanged);
  EXPECT_FALSE(std::filesystem::exists(map_path));
  EXPECT_TRUE(logged("digest map " + map_path + " discarded: destination changed")) << log_text();
  EXPECT_EQ(store_->close_device(5, 1), DestinationChanged);
}

// A compare that read a chunk while a write of it ran may have read some of
// both; what it read is not kept.
TEST_F(DigestMapTest, AReadOvertakenByAWriteOfItsChunkIsNotKept) {
  full_copy();
  std::filesystem::remove(map_file());
  std::atomic<std::thread::id> reader{};
  std::atomic<int> reader_calls{0};
  std::mutex mutex;
  std::condition_variable changed;
  bool blocked = false;
  bool released = false;
  // The compare's chunk is read ahead, by a thread of the store's: the
  // first thread besides this one to read is the reader.
  const std::thread::id test_thread = std::this_thread::get_id();
  io_.before = [&](DiskCall call, int) {
    if (call != DiskCall::Pread || std::this_thread::get_id() == test_thread) return 0;
    std::thread::id none{};
    reader.compare_exchange_strong(none, std::this_thread::get_id());
    if (std::this_thread::get_id() != reader.load() || ++reader_calls != 2) return 0;
    std::unique_lock lock(mutex);
    blocked = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
    return 0;
  };
  // Buffered reads of half a chunk each: the second half is read after the
  // write.
  io_.fail(trvs_testing::DiskFault{DiskCall::Open, EINVAL, 1, true, {}, O_DIRECT});
  io_.limit_reads(kChunk / 2);
  restart();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  std::optional<std::int32_t> first;
  std::thread compare_thread([&] { first = compare(0, source_[0]); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return blocked; });
  }
  source_[0] = pattern(kChunk, 11);
  EXPECT_EQ(replicate(0, source_[0]), Replicated);
  {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
  compare_thread.join();
  // What was read ahead is dropped: the compare reads the new bytes.
  EXPECT_EQ(first, Differs);
  EXPECT_EQ(compare(0, source_[0]), Identical);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
  EXPECT_EQ(read_file(image_), joined());
  io_.before = nullptr;
}

TEST_F(DigestMapTest, AVerifyDiskHasNoMap) {
  full_copy();
  restart(true);
  EXPECT_TRUE(logged("disk 1: no digest map for a disk served with --verify-disk")) << log_text();
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const auto [identical, read] = incremental();
  EXPECT_EQ(identical, 8);
  EXPECT_GE(read, 8);
  ASSERT_EQ(store_->close_device(5, 1), Closed);
}

}  // namespace
