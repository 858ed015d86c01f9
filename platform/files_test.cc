// Conformance of files and devices: the device mapping, share modes, creation
// dispositions, the errno table and the disk length query.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/error_map.h"
#include "platform/page_cache.h"
#include "platform/testing_support.h"
#include "platform/win32.h"

namespace {

using trv::platform::page_cache_holds_none;
using trv::platform::page_cache_holds_none_by_mapping;
using trv::platform::testing::read_file;
using trv::platform::testing::run_self_with;
using trv::platform::testing::ScopedEnvironment;
using trv::platform::testing::TempDir;
using trv::platform::testing::write_file;

// Child side of the tests that need a second process: TRV_PLATFORM_CHILD
// names what to do and the child exits with the last error it saw.
int run_child(const std::string& mode, const std::string& path) {
  const std::wstring name = from_utf8(path);
  if (mode == "open-exclusive") {
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
  }
  if (mode == "open-shared") {
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
  }
  if (mode == "open-unprivileged") {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 200;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    return h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
  }
  return 201;
}

[[maybe_unused]] const bool child_mode = [] {
  const char* mode = std::getenv("TRV_PLATFORM_CHILD");
  const char* path = std::getenv("TRV_PLATFORM_CHILD_PATH");
  if (mode == nullptr || path == nullptr) return false;
  std::_Exit(run_child(mode, path));
}();

int child_status(const std::string& mode, const std::string& path) {
  return run_self_with({"TRV_PLATFORM_CHILD=" + mode, "TRV_PLATFORM_CHILD_PATH=" + path});
}

class FileTest : public ::testing::Test {
 protected:
  HANDLE open(const std::string& name, DWORD access, DWORD share, DWORD disposition,
              DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(from_utf8(dir_.file(name)).c_str(), access, share, nullptr, disposition,
                       flags, nullptr);
  }

  TempDir dir_;
};

TEST_F(FileTest, OpenExistingOfMissingFileFailsWithFileNotFound) {
  SetLastError(0);
  EXPECT_EQ(open("missing", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileTest, PathThroughAFileFailsWithPathNotFound) {
  write_file(dir_.file("plain"), "x");
  EXPECT_EQ(open("plain/child", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileTest, OverlongNameFailsWithFilenameExceedsRange) {
  EXPECT_EQ(open(std::string(300, 'n'), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(FileTest, EmptyOrNullNameIsRefused) {
  EXPECT_EQ(CreateFileW(L"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FileTest, OpeningADirectoryIsAccessDenied) {
  ASSERT_EQ(::mkdir(dir_.file("folder").c_str(), 0755), 0);
  EXPECT_EQ(open("folder", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(open("folder", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FileTest, PermissionDenialIsAccessDenied) {
  write_file(dir_.file("secret"), "s");
  ASSERT_EQ(::chmod(dir_.file("secret").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  // Root passes every permission check, so the open is made by a child
  // process that has given up root.
  EXPECT_EQ(child_status("open-unprivileged", dir_.file("secret")),
            static_cast<int>(ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, CreateAlwaysCreatesThenTruncatesAndReportsWhichItDid) {
  HANDLE h = open("new", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(read_file(dir_.file("new")), "hello");

  SetLastError(0);
  h = open("new", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(read_file(dir_.file("new")), "");
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileTest, OtherDispositions) {
  write_file(dir_.file("there"), "abc");
  EXPECT_EQ(open("there", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  HANDLE h = open("there", GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(read_file(dir_.file("there")), "abc");
  h = open("there", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(read_file(dir_.file("there")), "");
  EXPECT_EQ(open("gone", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open("there", GENERIC_WRITE, 0, 77), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FileTest, ExclusiveOpenRefusesLaterOpenersWithoutTruncating) {
  write_file(dir_.file("log"), "keep me");
  HANDLE first = open("log", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);

  EXPECT_EQ(open("log", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(open("log", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(open("log", GENERIC_WRITE, FILE_SHARE_READ, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(read_file(dir_.file("log")), "keep me");

  EXPECT_TRUE(CloseHandle(first));
  HANDLE second = open("log", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(read_file(dir_.file("log")), "");
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(FileTest, ExclusiveOpenRefusesOtherProcesses) {
  write_file(dir_.file("log"), "keep me");
  HANDLE mine = open("log", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(mine, INVALID_HANDLE_VALUE);
  EXPECT_EQ(child_status("open-exclusive", dir_.file("log")),
            static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(child_status("open-shared", dir_.file("log")),
            static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(read_file(dir_.file("log")), "keep me");
  EXPECT_TRUE(CloseHandle(mine));
  EXPECT_EQ(child_status("open-exclusive", dir_.file("log")), 0);
}

TEST_F(FileTest, SharedOpenersCoexistAndKeepExclusiveOpenersOut) {
  write_file(dir_.file("disk"), "data");
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE a = open("disk", GENERIC_READ | GENERIC_WRITE, share, OPEN_EXISTING);
  HANDLE b = open("disk", GENERIC_READ, share, OPEN_EXISTING);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("disk", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(child_status("open-exclusive", dir_.file("disk")),
            static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(read_file(dir_.file("disk")), "data");
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
}

TEST_F(FileTest, SynchronousWritesAppendInOrder) {
  HANDLE h = open("log", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 99;
  EXPECT_TRUE(WriteFile(h, "ab", 2, &written, nullptr));
  EXPECT_EQ(written, 2u);
  EXPECT_TRUE(WriteFile(h, "cde", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  EXPECT_TRUE(WriteFile(h, "", 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(FlushFileBuffers(h));
  EXPECT_EQ(read_file(dir_.file("log")), "abcde");
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileTest, WriteToAFullDeviceIsDiskFull) {
  HANDLE h = CreateFileW(L"/dev/full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 5;
  EXPECT_FALSE(WriteFile(h, "line", 4, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileTest, AccessIsEnforcedPerHandle) {
  write_file(dir_.file("f"), "0123456789");
  HANDLE write_only = open("f", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(write_only, INVALID_HANDLE_VALUE);
  char buffer[4];
  DWORD n = 7;
  EXPECT_FALSE(ReadFile(write_only, buffer, sizeof(buffer), &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);

  HANDLE read_only = open("f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(read_only, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(WriteFile(read_only, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(FlushFileBuffers(read_only));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(read_file(dir_.file("f")), "0123456789");
  EXPECT_TRUE(CloseHandle(write_only));
  EXPECT_TRUE(CloseHandle(read_only));
}

TEST_F(FileTest, SynchronousReadsFollowThePositionAndSucceedEmptyAtTheEnd) {
  write_file(dir_.file("f"), "0123456789");
  HANDLE h = open("f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buffer[8] = {};
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, buffer, 6, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "012345");
  EXPECT_TRUE(ReadFile(h, buffer, 8, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "6789");
  EXPECT_TRUE(ReadFile(h, buffer, 8, &n, nullptr));
  EXPECT_EQ(n, 0u);

  // With an OVERLAPPED block a synchronous handle reads at its offset; past
  // the end that is an end-of-file failure.
  OVERLAPPED ov{};
  ov.Offset = 3;
  EXPECT_TRUE(ReadFile(h, buffer, 2, &n, &ov));
  EXPECT_EQ(std::string(buffer, n), "34");
  ov.Offset = 10;
  EXPECT_FALSE(ReadFile(h, buffer, 2, &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileTest, BackslashesAreSeparatorsAndRelativePathsFollowTheWorkingDirectory) {
  ASSERT_EQ(::mkdir(dir_.file("sub").c_str(), 0755), 0);
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  HANDLE h = CreateFileW(L".\\sub\\TRV.log", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool opened = h != INVALID_HANDLE_VALUE;
  if (opened) CloseHandle(h);
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_TRUE(opened);
  struct stat st;
  EXPECT_EQ(::stat(dir_.file("sub/TRV.log").c_str(), &st), 0);
}

// The residency test decides whether a read goes past the page cache: it
// must see one cached page at the edge of a range, and nothing outside it.
TEST_F(FileTest, ThePageCacheIsAskedPageByPageWithoutBeingFilled) {
  constexpr off_t kMiB = 1 << 20;
  const int fd = ::open(dir_.file("cache").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  const std::string data(2 * kMiB, 'c');
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), 2 * kMiB);
  ASSERT_EQ(::fdatasync(fd), 0);
  ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
  ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM), 0);  // reads bring their pages only
  for (const auto holds_none : {&page_cache_holds_none, &page_cache_holds_none_by_mapping}) {
    if (!holds_none(fd, 0, 2 * kMiB)) GTEST_SKIP() << "this file system keeps its pages";
  }
  char page[4096];
  ASSERT_EQ(::pread(fd, page, sizeof page, kMiB + 8192), 4096);  // page 258
  for (const auto holds_none : {&page_cache_holds_none, &page_cache_holds_none_by_mapping}) {
    EXPECT_FALSE(holds_none(fd, kMiB + 8191, 2));  // a byte of pages 257 and 258
    EXPECT_FALSE(holds_none(fd, 0, 2 * kMiB));
    EXPECT_TRUE(holds_none(fd, 0, kMiB + 8192));
    EXPECT_TRUE(holds_none(fd, kMiB + 12288, kMiB - 12288));
    EXPECT_TRUE(holds_none(fd, kMiB, 0));
  }
  ::close(fd);
}

TEST_F(FileTest, StaleAndWrongHandlesAreInvalid) {
  HANDLE h = open("f", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  ASSERT_NE(semaphore, nullptr);
  EXPECT_FALSE(WriteFile(semaphore, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FlushFileBuffers(semaphore));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(semaphore));
}

class DeviceTest : public FileTest {
 protected:
  HANDLE open_device(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }

  void make_image(const std::string& name, off_t size) {
    const int fd = ::open(dir_.file(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  }

  ScopedEnvironment device_dir_{"TRV_DEVICE_DIR", dir_.path()};
};

TEST_F(DeviceTest, DeviceNamespaceMapsToTheDeviceFolder) {
  const off_t size = 20ll * 1024 * 1024 * 1024 + 4096 + 512;  // sparse
  make_image("PhysicalDrive7", size);
  HANDLE h = open_device(L"\\\\.\\PhysicalDrive7");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length),
                              &returned, nullptr));
  EXPECT_EQ(returned, sizeof(length));
  EXPECT_EQ(length.Length.QuadPart, size);

  DISK_GEOMETRY geometry{};
  OVERLAPPED ov{};
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                              sizeof(geometry), &returned, &ov));
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(geometry.BytesPerSector, 512u);
  EXPECT_EQ(geometry.TracksPerCylinder, 255u);
  EXPECT_EQ(geometry.SectorsPerTrack, 63u);
  EXPECT_EQ(geometry.MediaType, FixedMedia);
  EXPECT_EQ(geometry.Cylinders, size / (255 * 63 * 512));
  EXPECT_LT(static_cast<std::uint64_t>(geometry.Cylinders) * 255 * 63 * 512,
            static_cast<std::uint64_t>(size));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceTest, MissingOrMalformedDeviceNamesAreNotFound) {
  make_image("PhysicalDrive1", 4096);
  for (const wchar_t* name :
       {L"\\\\.\\PhysicalDrive01", L"\\\\.\\PhysicalDrive2", L"\\\\.\\", L"\\\\.\\..",
        L"\\\\.\\..\\PhysicalDrive1", L"\\\\.\\x/../PhysicalDrive1"}) {
    SCOPED_TRACE(to_utf8(name));
    EXPECT_EQ(open_device(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  HANDLE h = open_device(L"//./PhysicalDrive1");
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceTest, LengthQueriesCheckTheirBufferAndTheKindOfFile) {
  make_image("PhysicalDrive3", 4096);
  HANDLE h = open_device(L"\\\\.\\PhysicalDrive3");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char small[4];
  DWORD returned = 5;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, small, sizeof(small),
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0u);
  DISK_GEOMETRY geometry;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, 20,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(
      DeviceIoControl(h, 0x12345, nullptr, 0, &geometry, sizeof(geometry), &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(h));

  ::symlink("/dev/null", dir_.file("Null").c_str());
  h = open_device(L"\\\\.\\Null");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  GET_LENGTH_INFORMATION length;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length),
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(h));
}

TEST(ErrnoTable, CommonErrorsHaveTheirWindowsNumbers) {
  using trv::platform::windows_error_from_errno;
  EXPECT_EQ(windows_error_from_errno(ENOENT), 2u);
  EXPECT_EQ(windows_error_from_errno(ENOTDIR), 3u);
  EXPECT_EQ(windows_error_from_errno(EACCES), 5u);
  EXPECT_EQ(windows_error_from_errno(EPERM), 5u);
  EXPECT_EQ(windows_error_from_errno(EBADF), 6u);
  EXPECT_EQ(windows_error_from_errno(ENOMEM), 8u);
  EXPECT_EQ(windows_error_from_errno(EWOULDBLOCK), 32u);
  EXPECT_EQ(windows_error_from_errno(EEXIST), 80u);
  EXPECT_EQ(windows_error_from_errno(EINVAL), 87u);
  EXPECT_EQ(windows_error_from_errno(ENOSPC), 112u);
  EXPECT_EQ(windows_error_from_errno(ENAMETOOLONG), 206u);
  EXPECT_EQ(windows_error_from_errno(EIO), 1117u);
  EXPECT_EQ(windows_error_from_errno(EHWPOISON), ERROR_GEN_FAILURE);
}

}  // namespace
