// Conformance of completion ports and overlapped reads: return values, last
// errors, keys and byte counts, as the chunk worker relies on them.
#include "platform/completion_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/objects.h"
#include "platform/testing_support.h"
#include "platform/win32.h"

namespace {

using trv::platform::testing::ScopedEnvironment;
using trv::platform::testing::TempDir;

constexpr ULONG_PTR kDiskKey = 1;

HANDLE bare_port() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }

struct Completion {
  BOOL ok;
  DWORD error;
  DWORD bytes;
  ULONG_PTR key;
  LPOVERLAPPED overlapped;
};

Completion take(HANDLE port, DWORD milliseconds = INFINITE) {
  Completion c{};
  c.bytes = 0xDEAD;
  c.key = 0xDEAD;
  c.overlapped = reinterpret_cast<LPOVERLAPPED>(0x1);  // must be overwritten
  SetLastError(0);
  c.ok = GetQueuedCompletionStatus(port, &c.bytes, &c.key, &c.overlapped, milliseconds);
  c.error = GetLastError();
  return c;
}

TEST(CompletionPort, TimeoutReportsWaitTimeoutAndNoOverlapped) {
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  for (DWORD timeout : {0u, 30u}) {
    const Completion c = take(port, timeout);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, WAIT_TIMEOUT);
    EXPECT_EQ(c.overlapped, nullptr);
  }
  EXPECT_TRUE(CloseHandle(port));
}

TEST(CompletionPort, PostedPacketsComeBackFirstInFirstOutWithTheirValues) {
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  OVERLAPPED blocks[3] = {};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(PostQueuedCompletionStatus(port, 100 + i, 10 + i, &blocks[i]));
  }
  EXPECT_TRUE(PostQueuedCompletionStatus(port, 0, 0, nullptr));
  for (int i = 0; i < 3; ++i) {
    const Completion c = take(port, 0);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.bytes, 100u + i);
    EXPECT_EQ(c.key, 10u + i);
    EXPECT_EQ(c.overlapped, &blocks[i]);
  }
  // A packet without an overlapped block is still a successful dequeue.
  const Completion empty = take(port, 0);
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.overlapped, nullptr);
  EXPECT_EQ(take(port, 0).error, WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(port));
}

TEST(CompletionPort, SystemCompletionsAreNotCountedAsTheProgramsPosts) {
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  OVERLAPPED block{};
  inject_failure("PostQueuedCompletionStatus", ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_TRUE(trv::platform::post_system_completion(port, 9, 4, &block));
  EXPECT_FALSE(PostQueuedCompletionStatus(port, 0, 0, &block));
  EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
  clear_injected_failures();
  const Completion c = take(port, 0);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 9u);
  EXPECT_EQ(c.key, 4u);
  EXPECT_EQ(take(port, 0).error, WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_FALSE(trv::platform::post_system_completion(port, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CompletionPort, InfiniteWaitReceivesAPacketPostedLater) {
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  OVERLAPPED block{};
  std::thread poster([&] { PostQueuedCompletionStatus(port, 7, 3, &block); });
  const Completion c = take(port, INFINITE);
  poster.join();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &block);
  EXPECT_EQ(c.key, 3u);
  EXPECT_EQ(c.bytes, 7u);
  EXPECT_TRUE(CloseHandle(port));
}

// Half the waiters give up every millisecond and wait again, so that time-outs
// race with the posts that hand packets to waiting threads.
TEST(CompletionPort, EveryPacketIsDeliveredExactlyOnceToConcurrentWaiters) {
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  constexpr int kPackets = 20000;
  constexpr int kWaiters = 6;
  std::vector<OVERLAPPED> blocks(kPackets);
  std::vector<std::atomic<int>> seen(kPackets);
  std::vector<std::thread> waiters;
  for (int t = 0; t < kWaiters; ++t) {
    waiters.emplace_back([&, t] {
      while (true) {
        const Completion c = take(port, t % 2 == 0 ? INFINITE : 1);
        if (!c.ok && c.error == WAIT_TIMEOUT) continue;
        if (!c.ok || c.overlapped == nullptr) return;  // the stop packet
        seen[c.overlapped - blocks.data()].fetch_add(1);
      }
    });
  }
  for (int i = 0; i < kPackets; ++i) {
    PostQueuedCompletionStatus(port, 0, 0, &blocks[i]);
    if (i % 64 == 0) std::this_thread::yield();
  }
  for (int t = 0; t < kWaiters; ++t) PostQueuedCompletionStatus(port, 0, 0, nullptr);
  for (auto& w : waiters) w.join();
  for (int i = 0; i < kPackets; ++i) ASSERT_EQ(seen[i].load(), 1) << i;
  EXPECT_TRUE(CloseHandle(port));
}

// A thread that took a packet and posts one before it waits again takes it
// itself: the thread asleep meanwhile is not woken for it, but is handed it
// when the poster ends or waits on another port instead.
TEST(CompletionPort, APacketPostedByARunningThreadWaitsForItUnlessItGoesElsewhere) {
  HANDLE port = bare_port();
  HANDLE other = bare_port();
  ASSERT_NE(port, nullptr);
  ASSERT_NE(other, nullptr);
  const auto object = trv::platform::find<trv::platform::CompletionPort>(port);
  OVERLAPPED blocks[5]{};
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 0, &blocks[0]));
  ASSERT_EQ(take(port, 0).overlapped, &blocks[0]);  // this thread now runs on the port

  Completion slept[2]{};
  std::thread sleeper([&] { slept[0] = take(port, 30000); });
  while (object->sleeping() < 1) std::this_thread::yield();
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 0, &blocks[1]));
  EXPECT_EQ(take(port, 0).overlapped, &blocks[1]);
  EXPECT_EQ(object->sleeping(), 1u);

  // Held for this thread, taken by another that came to the port, which
  // holds what it posts in turn until it ends.
  ASSERT_TRUE(PostQueuedCompletionStatus(port, 0, 0, &blocks[2]));
  std::thread([&] {
    EXPECT_EQ(take(port, 0).overlapped, &blocks[2]);
    PostQueuedCompletionStatus(port, 0, 0, &blocks[3]);
  }).join();
  sleeper.join();
  EXPECT_EQ(slept[0].overlapped, &blocks[3]);
  EXPECT_EQ(take(port, 0).error, static_cast<DWORD>(WAIT_TIMEOUT));

  // One that waits on another port lets its held packet go.
  std::thread second([&] { slept[1] = take(port, 30000); });
  while (object->sleeping() < 1) std::this_thread::yield();
  std::thread([&] {
    ASSERT_TRUE(PostQueuedCompletionStatus(other, 0, 0, &blocks[0]));
    EXPECT_EQ(take(other, 0).overlapped, &blocks[0]);
    PostQueuedCompletionStatus(port, 0, 0, &blocks[4]);
    EXPECT_EQ(take(other, 0).error, static_cast<DWORD>(WAIT_TIMEOUT));
  }).join();
  second.join();
  EXPECT_EQ(slept[1].overlapped, &blocks[4]);
  EXPECT_TRUE(CloseHandle(other));
  EXPECT_TRUE(CloseHandle(port));
}

TEST(CompletionPort, ClosedOrWrongHandlesAreInvalid) {
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(CloseHandle(port));
  const Completion c = take(port, 0);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, ERROR_INVALID_HANDLE);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_FALSE(PostQueuedCompletionStatus(port, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
  EXPECT_FALSE(PostQueuedCompletionStatus(semaphore, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CreateIoCompletionPort(semaphore, nullptr, 1, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(semaphore));
}

// Every waiter, with a time-out or without, is let go by the close.
TEST(CompletionPort, ClosingThePortReleasesEveryWaiter) {
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  constexpr DWORD kTimeouts[] = {INFINITE, INFINITE, 60000};
  Completion c[3]{};
  std::atomic<int> started{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      ++started;
      c[i] = take(port, kTimeouts[i]);
    });
  }
  while (started < 3) std::this_thread::yield();
  EXPECT_TRUE(CloseHandle(port));
  for (auto& w : waiters) w.join();
  for (const Completion& each : c) {
    EXPECT_FALSE(each.ok);
    EXPECT_EQ(each.overlapped, nullptr);
    // Abandoned if the waiter was already waiting; invalid if it came late.
    EXPECT_TRUE(each.error == ERROR_ABANDONED_WAIT_0 || each.error == ERROR_INVALID_HANDLE)
        << each.error;
  }
}

class OverlappedReadTest : public ::testing::Test {
 protected:
  void TearDown() override {
    clear_injected_failures();
    for (HANDLE h : handles_) CloseHandle(h);
  }

  // A sparse image of `size` bytes with `data` written at `offset`.
  void make_image(const std::string& name, off_t size, off_t offset = 0,
                  const std::string& data = "") {
    const int fd = ::open(dir_.file(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    if (!data.empty()) {
      ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
    }
    ::close(fd);
  }

  HANDLE open_disk(const std::wstring& name, DWORD flags = FILE_FLAG_OVERLAPPED) {
    HANDLE h =
        CreateFileW((L"\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }

  HANDLE port_for(HANDLE disk, ULONG_PTR key = kDiskKey) {
    HANDLE port = CreateIoCompletionPort(disk, nullptr, key, 0);
    if (port != nullptr) handles_.push_back(port);
    return port;
  }

  static void set_offset(OVERLAPPED* ov, std::uint64_t offset) {
    *ov = OVERLAPPED{};
    ov->Offset = static_cast<DWORD>(offset);
    ov->OffsetHigh = static_cast<DWORD>(offset >> 32);
  }

  // Starts a read and checks that it went asynchronous.
  // Either way the completion comes through the port.
  void start_read(HANDLE disk, void* buffer, DWORD length, OVERLAPPED* ov) {
    DWORD n = 1234;
    SetLastError(0);
    if (ReadFile(disk, buffer, length, &n, ov)) {
      EXPECT_EQ(n, length);  // the page cache held it all
    } else {
      EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
  }

  TempDir dir_;
  ScopedEnvironment device_dir_{"TRV_DEVICE_DIR", dir_.path()};
  std::vector<HANDLE> handles_;
};

TEST_F(OverlappedReadTest, ReadsPastFourGibibytesLandAtTheirOffset) {
  const off_t five_gib = 5ll << 30;
  make_image("PhysicalDrive4", (6ll << 30) + 100, five_gib + 3, "pattern");
  HANDLE disk = open_disk(L"PhysicalDrive4");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk);
  ASSERT_NE(port, nullptr);

  std::vector<char> buffer(1 << 20, 'x');
  OVERLAPPED ov;
  set_offset(&ov, five_gib);
  start_read(disk, buffer.data(), 1 << 20, &ov);
  const Completion c = take(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.key, kDiskKey);
  EXPECT_EQ(c.overlapped, &ov);
  EXPECT_EQ(c.bytes, 1u << 20);
  EXPECT_EQ(ov.Internal, 0u);
  EXPECT_EQ(ov.InternalHigh, 1u << 20);
  EXPECT_EQ(std::string(buffer.data(), 3), std::string(3, '\0'));
  EXPECT_EQ(std::string(buffer.data() + 3, 7), "pattern");
  EXPECT_EQ(buffer[10], '\0');
}

TEST_F(OverlappedReadTest, ReadReachingTheEndIsShortAndReadAtTheEndFailsWithEof) {
  const off_t size = (6ll << 30) + 100;
  make_image("PhysicalDrive5", size, size - 4, "tail");
  HANDLE disk = open_disk(L"PhysicalDrive5");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk);
  ASSERT_NE(port, nullptr);

  std::vector<char> buffer(1 << 20);
  OVERLAPPED ov;
  set_offset(&ov, 6ll << 30);
  start_read(disk, buffer.data(), 1 << 20, &ov);
  Completion c = take(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 100u);
  EXPECT_EQ(ov.InternalHigh, 100u);
  EXPECT_EQ(std::string(buffer.data() + 96, 4), "tail");

  for (std::uint64_t offset : {std::uint64_t(size), std::uint64_t{7} << 30}) {
    set_offset(&ov, offset);
    start_read(disk, buffer.data(), 1 << 20, &ov);
    c = take(port);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, ERROR_HANDLE_EOF);
    EXPECT_EQ(c.overlapped, &ov);
    EXPECT_EQ(c.key, kDiskKey);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_EQ(ov.Internal, 0xC0000011u);
  }
}

TEST_F(OverlappedReadTest, FailedReadCompletesWithAFailurePacket) {
  // Reading a process's memory file at an unmapped address fails with EIO,
  // as a failing disk does.
  ASSERT_EQ(::symlink("/proc/self/mem", dir_.file("Failing").c_str()), 0);
  HANDLE disk = open_disk(L"Failing");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk, 42);
  ASSERT_NE(port, nullptr);
  char buffer[4096];
  OVERLAPPED ov;
  set_offset(&ov, 0);
  start_read(disk, buffer, sizeof(buffer), &ov);
  const Completion c = take(port);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, ERROR_IO_DEVICE);
  EXPECT_EQ(c.overlapped, &ov);
  EXPECT_EQ(c.key, 42u);
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(ov.Internal, 0xC0070000u | ERROR_IO_DEVICE);
}

TEST_F(OverlappedReadTest, InjectedFailuresAffectTheCallOrItsCompletion) {
  make_image("PhysicalDrive6", 1 << 20);
  HANDLE disk = open_disk(L"PhysicalDrive6");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk);
  ASSERT_NE(port, nullptr);
  char buffer[512];
  OVERLAPPED ov;
  set_offset(&ov, 0);

  inject_failure("ReadFile", ERROR_NOT_READY);
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(disk, buffer, sizeof(buffer), &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_EQ(take(port, 0).error, WAIT_TIMEOUT);  // a refused call queues nothing

  inject_failure("ReadFile.completion", ERROR_CRC);
  start_read(disk, buffer, sizeof(buffer), &ov);
  Completion c = take(port);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, ERROR_CRC);
  EXPECT_EQ(c.overlapped, &ov);

  start_read(disk, buffer, sizeof(buffer), &ov);
  c = take(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, sizeof(buffer));
}

// A read the page cache holds whole completes at once, and its completion
// is queued all the same; of one it holds in part, the part is kept and an
// I/O thread reads the rest. Whether the rest waits for the device is the
// kernel's to say: a read that may not wait still starts read-ahead, and a
// fast device can finish it before the read gives up, so the first round
// may complete at once too. Its bytes must be the file's either way.
TEST_F(OverlappedReadTest, AReadTakesWhatThePageCacheHoldsAndAlwaysQueuesItsCompletion) {
  std::string image(1 << 20, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>('a' + i % 23);
  make_image("PhysicalDrive12", static_cast<off_t>(image.size()), 0, image);
  // Out of the page cache but for its first 64 KiB (no read-ahead).
  const int fd = ::open(dir_.file("PhysicalDrive12").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fdatasync(fd), 0);
  ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
  ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM), 0);
  std::string probe(65536, '\0');
  ASSERT_EQ(::pread(fd, probe.data(), probe.size(), 0), 65536);
  ::close(fd);
  HANDLE disk = open_disk(L"PhysicalDrive12");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk);
  ASSERT_NE(port, nullptr);
  const auto size = static_cast<DWORD>(image.size());

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "a part cached" : "all of it cached");
    std::string buffer(image.size(), '\0');
    OVERLAPPED ov;
    set_offset(&ov, 0);
    DWORD n = 0;
    const BOOL at_once = ReadFile(disk, buffer.data(), size, &n, &ov);
    if (round == 1) {
      EXPECT_TRUE(at_once);
      EXPECT_EQ(n, size);
    } else if (!at_once) {
      EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    Completion c = take(port);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.bytes, size);
    EXPECT_EQ(c.overlapped, &ov);
    EXPECT_TRUE(buffer == image);
  }
  EXPECT_EQ(take(port, 0).error, WAIT_TIMEOUT);
}

// A range the page cache holds none of is read past it (O_DIRECT, when the
// file system takes it) and the rest the ordinary way: the bytes must be the
// file's whichever way they came, also where the file ends inside the range.
TEST_F(OverlappedReadTest, ARangeOutsideThePageCacheReadsRightUpToTheEnd) {
  constexpr DWORD kChunk = 1 << 20;
  std::string image(kChunk + 5000, '\0');  // ends inside the second chunk
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 % 251);
  make_image("PhysicalDrive13", static_cast<off_t>(image.size()), 0, image);
  const int fd = ::open(dir_.file("PhysicalDrive13").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fdatasync(fd), 0);  // dirty pages would stay in the cache
  HANDLE disk = open_disk(L"PhysicalDrive13");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk);
  ASSERT_NE(port, nullptr);
  auto* buffer = static_cast<char*>(std::aligned_alloc(4096, kChunk));
  ASSERT_NE(buffer, nullptr);
  for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{kChunk}}) {
    ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    std::memset(buffer, 'x', kChunk);
    OVERLAPPED ov;
    set_offset(&ov, offset);
    start_read(disk, buffer, kChunk, &ov);
    const Completion done = take(port);
    const std::size_t expected = std::min<std::size_t>(kChunk, image.size() - offset);
    EXPECT_TRUE(done.ok) << done.error;
    EXPECT_EQ(done.bytes, expected);
    EXPECT_EQ(std::string(buffer, expected), image.substr(offset, expected));
  }
  std::free(buffer);
  ::close(fd);
}

TEST_F(OverlappedReadTest, SixteenReadsInFlightAllDeliverTheirOwnData) {
  constexpr DWORD kChunk = 64 * 1024;
  constexpr int kChunks = 256;
  std::string image(kChunk * kChunks, '\0');
  for (int i = 0; i < kChunks; ++i) std::memset(&image[i * kChunk], 'A' + i % 26, kChunk);
  make_image("PhysicalDrive9", image.size(), 0, image);
  HANDLE disk = open_disk(L"PhysicalDrive9");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk);
  ASSERT_NE(port, nullptr);

  struct Context {
    OVERLAPPED ov;
    int chunk;
    std::vector<char> data;
  };
  std::vector<Context> contexts(16);
  int next = 0, done = 0;
  for (auto& context : contexts) {
    context.data.resize(kChunk);
    context.chunk = next++;
    set_offset(&context.ov, std::uint64_t{kChunk} * context.chunk);
    start_read(disk, context.data.data(), kChunk, &context.ov);
  }
  while (done < kChunks) {
    const Completion c = take(port);
    ASSERT_TRUE(c.ok) << c.error;
    auto* context = reinterpret_cast<Context*>(c.overlapped);
    ASSERT_EQ(c.bytes, kChunk);
    ASSERT_EQ(std::memcmp(context->data.data(), &image[context->chunk * kChunk], kChunk), 0)
        << context->chunk;
    ++done;
    if (next < kChunks) {
      context->chunk = next++;
      set_offset(&context->ov, std::uint64_t{kChunk} * context->chunk);
      start_read(disk, context->data.data(), kChunk, &context->ov);
    }
  }
  EXPECT_EQ(take(port, 0).error, WAIT_TIMEOUT);
}

TEST_F(OverlappedReadTest, AssociationRules) {
  make_image("PhysicalDrive10", 4096, 0, "abcd");
  HANDLE disk = open_disk(L"PhysicalDrive10");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = bare_port();
  ASSERT_NE(port, nullptr);
  handles_.push_back(port);
  EXPECT_EQ(CreateIoCompletionPort(disk, port, 5, 0), port);
  EXPECT_EQ(CreateIoCompletionPort(disk, port, 6, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateIoCompletionPort(disk, nullptr, 6, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, port, 6, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  char buffer[4];
  OVERLAPPED ov;
  set_offset(&ov, 0);
  start_read(disk, buffer, 4, &ov);
  const Completion c = take(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.key, 5u);
  EXPECT_EQ(std::string(buffer, 4), "abcd");

  // An overlapped handle needs an OVERLAPPED block.
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(disk, buffer, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A completion that is immediate still reaches the port.
  GET_LENGTH_INFORMATION length{};
  OVERLAPPED query{};
  EXPECT_TRUE(DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length),
                              &n, &query));
  EXPECT_EQ(length.Length.QuadPart, 4096);
  const Completion q = take(port, 0);
  EXPECT_TRUE(q.ok);
  EXPECT_EQ(q.overlapped, &query);
  EXPECT_EQ(q.bytes, sizeof(length));

  HANDLE synchronous = open_disk(L"PhysicalDrive10", 0);
  ASSERT_NE(synchronous, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateIoCompletionPort(synchronous, nullptr, 1, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(OverlappedReadTest, OverlappedHandleWithoutAPortCompletesAtOnce) {
  make_image("PhysicalDrive11", 4096, 4000, "xyz");
  HANDLE disk = open_disk(L"PhysicalDrive11");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  char buffer[200];
  OVERLAPPED ov;
  set_offset(&ov, 4000);
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(disk, buffer, sizeof(buffer), &n, &ov));
  EXPECT_EQ(n, 96u);
  EXPECT_EQ(ov.InternalHigh, 96u);
  EXPECT_EQ(std::string(buffer, 3), "xyz");
  set_offset(&ov, 4096);
  EXPECT_FALSE(ReadFile(disk, buffer, sizeof(buffer), &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
}

TEST_F(OverlappedReadTest, ClosingTheFileDoesNotLoseAReadInFlight) {
  make_image("PhysicalDrive12", 1 << 20, 0, "head");
  HANDLE disk = CreateFileW(L"\\\\.\\PhysicalDrive12", GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  HANDLE port = port_for(disk);
  ASSERT_NE(port, nullptr);
  std::vector<char> buffer(1 << 20);
  OVERLAPPED ov;
  set_offset(&ov, 0);
  start_read(disk, buffer.data(), 1 << 20, &ov);
  EXPECT_TRUE(CloseHandle(disk));
  const Completion c = take(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 1u << 20);
  EXPECT_EQ(std::string(buffer.data(), 4), "head");
}

}  // namespace
