// The Win32 behaviour the client relies on, as portable cases: built on
// Linux against our emulation and on Windows against the system (run under
// Wine), so that both answer the same questions. Every case checks a return
// value and the last error. Where Wine and the emulation differ, the case
// says so and platform/README.md lists the difference.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/win32.h"
#include "testing/temporary_directory.h"

namespace {

class Win32Conformance : public testing::Test {
 protected:
  // A file of `size` bytes in the test's folder; its wide path.
  std::wstring make_file(const std::string& name, std::size_t size) {
    const std::filesystem::path path = directory_.path() / name;
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    return path.wstring();
  }
  std::wstring missing(const std::string& name) { return (directory_.path() / name).wstring(); }

 private:
  trv_testing::TemporaryDirectory directory_{"trv-conformance"};
};

TEST_F(Win32Conformance, OpeningAMissingFileIsFileNotFound) {
  SetLastError(0);
  EXPECT_EQ(CreateFileW(missing("absent").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Conformance, ShareModeZeroRefusesTheNextOpener) {
  const std::wstring path = make_file("held", 10);
  HANDLE held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(held));
}

TEST_F(Win32Conformance, CreateAlwaysTellsWhetherTheFileExisted) {
  const std::wstring path = missing("log");
  HANDLE first = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE second = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  const char text[] = "line\n";
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(second, text, 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  EXPECT_TRUE(FlushFileBuffers(second));
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(Win32Conformance, FlushNeedsWriteAccess) {
  HANDLE h = CreateFileW(make_file("ro", 4).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FlushFileBuffers(h));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Conformance, FileSizeOfAFile) {
  HANDLE h = CreateFileW(make_file("sized", 12345).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 12345);
  EXPECT_TRUE(CloseHandle(h));
}

// An overlapped read on a handle bound to a port completes there with the
// key, the byte count and the OVERLAPPED, whether the call returned at once
// or left the read pending; a read that reaches the end completes with the
// bytes there were.
TEST_F(Win32Conformance, OverlappedReadsCompleteThroughThePort) {
  HANDLE file = CreateFileW(make_file("disk", 3000).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE port = CreateIoCompletionPort(file, nullptr, 77, 0);
  ASSERT_NE(port, nullptr);
  char buffer[4096];
  OVERLAPPED overlapped{};
  overlapped.Offset = 1000;
  const BOOL done = ReadFile(file, buffer, sizeof buffer, nullptr, &overlapped);
  EXPECT_TRUE(done || GetLastError() == ERROR_IO_PENDING) << GetLastError();
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED which = nullptr;
  EXPECT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &which, 10000));
  EXPECT_EQ(bytes, 2000u);
  EXPECT_EQ(key, 77u);
  EXPECT_EQ(which, &overlapped);
  EXPECT_EQ(overlapped.InternalHigh, 2000u);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(CloseHandle(port));
}

// A read that starts at the end: ERROR_HANDLE_EOF with no bytes, either
// from the call itself or through a failure packet on the port.
TEST_F(Win32Conformance, OverlappedReadAtTheEndIsHandleEof) {
  HANDLE file = CreateFileW(make_file("short", 512).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE port = CreateIoCompletionPort(file, nullptr, 5, 0);
  ASSERT_NE(port, nullptr);
  char buffer[512];
  OVERLAPPED overlapped{};
  overlapped.Offset = 512;
  if (!ReadFile(file, buffer, sizeof buffer, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  } else {
    DWORD bytes = 1;
    ULONG_PTR key = 0;
    LPOVERLAPPED which = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &which, 10000));
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    EXPECT_EQ(which, &overlapped);
    EXPECT_EQ(bytes, 0u);
  }
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32Conformance, PortPacketsAndTimeOut) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ASSERT_NE(port, nullptr);
  DWORD bytes = 9;
  ULONG_PTR key = 9;
  OVERLAPPED marker{};
  LPOVERLAPPED which = &marker;
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &which, 0));
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  EXPECT_EQ(which, nullptr);
  EXPECT_TRUE(PostQueuedCompletionStatus(port, 42, 7, &marker));
  EXPECT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &which, 0));
  EXPECT_EQ(bytes, 42u);
  EXPECT_EQ(key, 7u);
  EXPECT_EQ(which, &marker);
  EXPECT_TRUE(CloseHandle(port));
}

DWORD wait_on_port(LPVOID port) {
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED which = nullptr;
  const BOOL got = GetQueuedCompletionStatus(static_cast<HANDLE>(port), &bytes, &key, &which,
                                             INFINITE);
  return got ? 0 : GetLastError();
}

// Closing a port ends its waiters' waits.
TEST_F(Win32Conformance, ClosingAPortWakesItsWaiterWithAbandonedWait) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ASSERT_NE(port, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, wait_on_port, port, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  Sleep(200);  // lets the waiter reach its wait; either order ends it
  EXPECT_TRUE(CloseHandle(port));
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_TRUE(code == ERROR_ABANDONED_WAIT_0 || code == ERROR_INVALID_HANDLE) << code;
  EXPECT_TRUE(CloseHandle(thread));
}

DWORD exit_with_seven(LPVOID) { return 7; }

TEST_F(Win32Conformance, ThreadsAreWaitableAndKeepTheirExitCode) {
  HANDLE thread = CreateThread(nullptr, 0, exit_with_seven, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_FALSE(CloseHandle(thread));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Win32Conformance, SemaphoreRefusesCountsBeyondItsMaximum) {
  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 2, nullptr);
  ASSERT_NE(semaphore, nullptr);
  LONG previous = -1;
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 2, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(semaphore));
}

TEST_F(Win32Conformance, BoundedHeapRefusesWhatDoesNotFit) {
  HANDLE heap = HeapCreate(0, 0, 1 << 20);
  ASSERT_NE(heap, nullptr);
  void* small = HeapAlloc(heap, HEAP_ZERO_MEMORY, 1000);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(small)[999], 0);
  // Windows sets no last error for a failed HeapAlloc; only null is common.
  EXPECT_EQ(HeapAlloc(heap, 0, 4 << 20), nullptr);
  EXPECT_TRUE(HeapFree(heap, 0, small));
  EXPECT_TRUE(HeapDestroy(heap));
}

// The source disk's size query on a plain file. The emulation answers with
// the file's length; Windows and Wine do not offer the query on a file, so
// the client falls back to the file size there.
TEST_F(Win32Conformance, LengthQueryOnAFileAnswersOrIsNotOffered) {
  HANDLE h = CreateFileW(make_file("image", 4096).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned,
                      nullptr)) {
    EXPECT_EQ(length.Length.QuadPart, 4096);
  } else {
    EXPECT_TRUE(GetLastError() == ERROR_NOT_SUPPORTED || GetLastError() == ERROR_INVALID_FUNCTION)
        << GetLastError();
  }
  EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
