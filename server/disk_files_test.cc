// The disk store's use of the files it serves: zero chunks as holes and
// lengths rather than written data, and one image served both for writing
// and for verification, one open at a time.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "gtest/gtest.h"
#include "server/disk_io_fake.h"
#include "server/disk_store.h"
#include "server/testing.h"
#include "service/server_result.h"

namespace {

constexpr std::int64_t kChunk = kChunkLength;

using trvs_testing::Bytes;
using trvs_testing::DiskCall;
using trvs_testing::md5_of;
using trvs_testing::pattern;

class DiskFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  void TearDown() override { store_.reset(); }

  std::string make_file(const std::string& name, const Bytes& content) {
    const std::string path = (scratch_.path() / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    return path;
  }
  static Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Bytes the file system holds for the file.
  static std::int64_t allocated(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<std::int64_t>(st.st_blocks) * 512;
  }
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
                                        const Bytes& data) {
    return store_->replicate(group, ReplicateRequest{dest, offset, md5_of(data), data});
  }
  std::optional<std::int32_t> compare(std::uint32_t group, std::int16_t dest, std::int64_t offset,
                                      const Bytes& expected) {
    return store_->compare(group, CompareRequest{dest, offset, md5_of(expected),
                                                 static_cast<std::int32_t>(expected.size())});
  }
  bool logged(const std::string& text) {
    std::lock_guard lock(log_mutex_);
    for (const auto& line : log_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  trvs_testing::ScratchDir scratch_;
  HashCombiner hasher_;
  trvs_testing::FakeDiskIo io_;
  std::unique_ptr<DiskStore> store_;
  std::string open_status_;
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

// Over data, past the end and across it: the image reads back exactly as
// written, holds no block for the zeros, and still passes every destination
// check at the close.
TEST_F(DiskFilesTest, ZeroChunksBecomeHolesOrLengthAndReadBackAsZeros) {
  const Bytes old = pattern(3 * kChunk + kChunk / 2, 7);
  const std::string path = make_file("a.img", old);
  make_store({{1, path, false}});
  ASSERT_TRUE(open_status_.empty()) << open_status_;
  ASSERT_EQ(store_->open_device(5, 1), Opened);
  const std::int64_t before = allocated(path);
  const Bytes zeros(kChunk, 0);
  // Over data: the blocks are given back.
  ASSERT_EQ(replicate(5, 1, kChunk, zeros), Replicated);
  EXPECT_LE(allocated(path), before - kChunk);
  // Across the end (3.5 MiB), then far past it: the length grows, nothing
  // is allocated for it.
  ASSERT_EQ(replicate(5, 1, 3 * kChunk, zeros), Replicated);
  ASSERT_EQ(replicate(5, 1, 8 * kChunk, zeros), Replicated);
  EXPECT_EQ(std::filesystem::file_size(path), 9u * kChunk);
  EXPECT_LE(allocated(path), before - kChunk - kChunk / 2);
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

TEST_F(DiskFilesTest, AFailedGrowthFailsTheChunkAndWithoutHolesZerosPastTheEndAreWritten) {
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
TEST_F(DiskFilesTest, OneImageServedForWritingAndVerifyingIsOpenOnlyOnceAtATime) {
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
