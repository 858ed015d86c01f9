// The source disk against image files that stand in for physical disks
// (TRV_DEVICE_DIR points the device namespace at a temporary folder), with
// the platform's failure hook for the paths a healthy file cannot take.
#include "disk/source_disk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "log/logger.h"
#include "platform/fault_injection.h"
#include "platform/win32.h"
#include "testing/log_reader.h"

namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::wstring>;

// The logger's file and the device folder live in one temporary working
// directory for the whole program; the variable is set before any open.
class DeviceDirectory : public trv_testing::TemporaryWorkingDirectory {
 public:
  void SetUp() override {
    trv_testing::TemporaryWorkingDirectory::SetUp();
    fs::create_directory("devices");
    setenv("TRV_DEVICE_DIR", fs::absolute("devices").c_str(), 1);
  }
};
testing::Environment* const device_directory =
    testing::AddGlobalTestEnvironment(new DeviceDirectory);

class SourceDiskTest : public testing::Test {
 protected:
  void SetUp() override {
    Logger::instance();
    seen_ = fs::file_size("TRV.log");
  }
  void TearDown() override {
    release_source_disk();
    clear_injected_failures();
    for (const fs::path& image : images_) fs::remove(image);
  }

  // A sparse image file of `size` bytes named like a physical disk.
  void make_disk(const std::string& name, std::uintmax_t size) {
    const fs::path image = fs::path("devices") / name;
    trv_testing::write_bytes(image, "");
    fs::resize_file(image, size);
    images_.push_back(image);
  }

  // The messages logged with `tag` since the test started.
  Texts logged(const std::wstring& tag) const {
    const std::string bytes = trv_testing::read_bytes("TRV.log");
    return trv_testing::messages(trv_testing::file_lines(bytes.substr(seen_)), tag);
  }

 private:
  std::uintmax_t seen_ = 0;
  std::vector<fs::path> images_;
};

TEST_F(SourceDiskTest, PathIsThePrefixAndTheIndexTextAsTyped) {
  build_source_disk(L"7");
  ASSERT_NE(source_disk, nullptr);
  EXPECT_STREQ(source_disk->path, L"\\\\.\\PhysicalDrive7");
  EXPECT_EQ(source_disk->size, 0u);
  EXPECT_EQ(source_disk->handle, nullptr);

  build_source_disk(L"007x");
  EXPECT_STREQ(source_disk->path, L"\\\\.\\PhysicalDrive007x");
}

TEST_F(SourceDiskTest, LongestIndexTextFillsThePathExactly) {
  const std::wstring index(110, L'1');
  build_source_disk(index.c_str());
  EXPECT_EQ(std::wstring(source_disk->path), L"\\\\.\\PhysicalDrive" + index);
  EXPECT_EQ(source_disk->path[127], L'\0');
}

TEST_F(SourceDiskTest, IndexTextTooLongForThePathFailsTheOpenCleanly) {
  for (const std::size_t length : {111u, 200000u}) {
    const std::wstring index(length, L'2');
    build_source_disk(index.c_str());
    // The fields after the path are untouched: nothing ran past it.
    EXPECT_EQ(source_disk->size, 0u);
    EXPECT_EQ(source_disk->handle, nullptr);
    EXPECT_FALSE(open_source_disk());
    EXPECT_EQ(source_disk->handle, nullptr);
  }
  EXPECT_EQ(logged(L"ERROR"), (Texts{L"Open device failed, error code: 206",
                                     L"Open device failed, error code: 206"}));
}

TEST_F(SourceDiskTest, OpensAnImageAndSizesItByItsFullLength) {
  // Neither a whole number of mebibytes nor of any geometry's cylinders.
  const std::uint64_t size = 5ull * 1024 * 1024 * 1024 + 1234567;
  make_disk("PhysicalDrive7", size);
  build_source_disk(L"7");
  ASSERT_TRUE(open_source_disk());
  EXPECT_NE(source_disk->handle, nullptr);
  EXPECT_NE(source_disk->handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(source_disk->size, size);
  EXPECT_EQ(logged(L"INFO"), Texts{L"Open device succ, disk size: 5369943687"});
  EXPECT_TRUE(logged(L"ERROR").empty());
  EXPECT_TRUE(flush_source_disk());
}

TEST_F(SourceDiskTest, EmptyDiskHasSizeZero) {
  make_disk("PhysicalDrive3", 0);
  build_source_disk(L"3");
  ASSERT_TRUE(open_source_disk());
  EXPECT_EQ(source_disk->size, 0u);
  EXPECT_EQ(logged(L"INFO"), Texts{L"Open device succ, disk size: 0"});
}

TEST_F(SourceDiskTest, MissingDiskFailsWithFileNotFound) {
  make_disk("PhysicalDrive1", 1048576);
  build_source_disk(L"9");
  EXPECT_FALSE(open_source_disk());
  EXPECT_EQ(source_disk->handle, nullptr);
  EXPECT_EQ(source_disk->size, 0u);
  // The text is used as typed: leading zeros name a different device.
  build_source_disk(L"01");
  EXPECT_FALSE(open_source_disk());
  EXPECT_EQ(logged(L"ERROR"),
            (Texts{L"Open device failed, error code: 2", L"Open device failed, error code: 2"}));
  EXPECT_TRUE(logged(L"INFO").empty());
}

TEST_F(SourceDiskTest, OpenFailureReportsTheOsError) {
  make_disk("PhysicalDrive4", 1048576);
  inject_failure("CreateFileW", ERROR_ACCESS_DENIED);
  build_source_disk(L"4");
  EXPECT_FALSE(open_source_disk());
  EXPECT_EQ(source_disk->handle, nullptr);
  EXPECT_EQ(logged(L"ERROR"), Texts{L"Open device failed, error code: 5"});
}

TEST_F(SourceDiskTest, SizeQueryFailureClosesTheHandleAndReportsTheQuerysError) {
  make_disk("PhysicalDrive5", 1048576);
  inject_failure("DeviceIoControl", ERROR_NOT_READY);
  // Closing the handle must not replace the code of the failed query.
  inject_failure("CloseHandle", ERROR_INVALID_HANDLE);
  build_source_disk(L"5");
  EXPECT_FALSE(open_source_disk());
  EXPECT_EQ(source_disk->handle, nullptr);
  EXPECT_EQ(source_disk->size, 0u);
  EXPECT_EQ(logged(L"ERROR"), Texts{L"Read device size failed, error code: 21"});
  EXPECT_TRUE(logged(L"INFO").empty());

  // The device itself is fine: once the query works the disk opens again.
  clear_injected_failures();
  EXPECT_TRUE(open_source_disk());
  EXPECT_EQ(source_disk->size, 1048576u);
}

// Where the disk driver does not offer the length query (Wine's disks), the
// handle's file length sizes the disk; nothing else falls back.
TEST_F(SourceDiskTest, LengthQueryNotOfferedFallsBackToTheFileLength) {
  const std::uint64_t size = 3ull * 1048576 + 4321;
  make_disk("PhysicalDrive4", size);
  build_source_disk(L"4");
  for (const DWORD not_offered : {ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION}) {
    inject_failure("DeviceIoControl", not_offered);
    ASSERT_TRUE(open_source_disk()) << not_offered;
    EXPECT_EQ(source_disk->size, size);
    release_source_disk();
    build_source_disk(L"4");
  }
  EXPECT_EQ(logged(L"INFO"), (Texts{L"Open device succ, disk size: 3150049",
                                    L"Open device succ, disk size: 3150049"}));
  EXPECT_TRUE(logged(L"ERROR").empty());
}

TEST_F(SourceDiskTest, FallbackFailuresAreReportedAsReadDeviceSize) {
  make_disk("PhysicalDrive4", 1048576);
  make_disk("PhysicalDrive2", 0);
  // The fallback's own failure is the one reported.
  build_source_disk(L"4");
  inject_failure("DeviceIoControl", ERROR_NOT_SUPPORTED);
  inject_failure("GetFileSizeEx", ERROR_IO_DEVICE);
  EXPECT_FALSE(open_source_disk());
  EXPECT_EQ(source_disk->handle, nullptr);
  // A length of 0 is what a device that cannot tell its size gives: the
  // query's answer is reported, and no empty copy is started.
  build_source_disk(L"2");
  inject_failure("DeviceIoControl", ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(open_source_disk());
  EXPECT_EQ(source_disk->handle, nullptr);
  // Other failures of the query never fall back.
  build_source_disk(L"4");
  inject_failure("DeviceIoControl", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(open_source_disk());
  EXPECT_EQ(source_disk->size, 0u);
  EXPECT_EQ(logged(L"ERROR"), (Texts{L"Read device size failed, error code: 1117",
                                     L"Read device size failed, error code: 1",
                                     L"Read device size failed, error code: 5"}));
  EXPECT_TRUE(logged(L"INFO").empty());
}

TEST_F(SourceDiskTest, FlushFailureReportsNothingAndKeepsTheHandle) {
  make_disk("PhysicalDrive6", 2 * 1048576);
  build_source_disk(L"6");
  ASSERT_TRUE(open_source_disk());
  inject_failure("FlushFileBuffers", ERROR_WRITE_FAULT);
  EXPECT_FALSE(flush_source_disk());
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  EXPECT_NE(source_disk->handle, nullptr);
  EXPECT_TRUE(logged(L"ERROR").empty());
  EXPECT_TRUE(flush_source_disk());
}

TEST_F(SourceDiskTest, FlushWithoutAnOpenDiskFails) {
  EXPECT_FALSE(flush_source_disk());
  build_source_disk(L"8");
  EXPECT_FALSE(flush_source_disk());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SourceDiskTest, ReleaseForgetsTheRecordAndMayRunTwice) {
  make_disk("PhysicalDrive2", 1048576);
  build_source_disk(L"2");
  ASSERT_TRUE(open_source_disk());
  release_source_disk();
  EXPECT_EQ(source_disk, nullptr);
  release_source_disk();
  EXPECT_EQ(source_disk, nullptr);
  EXPECT_FALSE(open_source_disk());
}

}  // namespace
