// Conformance of threads, waits, semaphores and critical sections.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/win32.h"

namespace {

// A thread routine that blocks until its gate semaphore is released, then
// returns the value it was given.
struct Gated {
  HANDLE gate;
  DWORD result;
  std::atomic<DWORD> seen_thread_id{0};
};

DWORD gated_routine(LPVOID raw) {
  auto* g = static_cast<Gated*>(raw);
  g->seen_thread_id = GetCurrentThreadId();
  WaitForSingleObject(g->gate, INFINITE);
  return g->result;
}

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gated_.gate = CreateSemaphoreW(nullptr, 0, 100, nullptr);
    ASSERT_NE(gated_.gate, nullptr);
  }
  void TearDown() override { CloseHandle(gated_.gate); }
  Gated gated_{nullptr, 77};
};

TEST_F(ThreadTest, ThreadHandleSignalsWhenTheThreadEnds) {
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, gated_routine, &gated_, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  EXPECT_TRUE(ReleaseSemaphore(gated_.gate, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  // A thread stays signalled: every later wait succeeds at once.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_EQ(gated_.seen_thread_id.load(), id);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 77u);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ThreadTest, ThreadRunsOnAfterItsHandleIsClosed) {
  // The thread's last touch of this frame is the release of `finished`, so
  // the frame may end as soon as that release is seen.
  struct Job {
    HANDLE gate, finished;
  } job{gated_.gate, CreateSemaphoreW(nullptr, 0, 1, nullptr)};
  ASSERT_NE(job.finished, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 64 * 1024,
      [](LPVOID raw) -> DWORD {
        auto* j = static_cast<Job*>(raw);
        HANDLE finished = j->finished;
        WaitForSingleObject(j->gate, INFINITE);
        ReleaseSemaphore(finished, 1, nullptr);
        return 0;
      },
      &job, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(CloseHandle(thread));
  // The closed handle is gone, but the thread is still blocked on the gate
  // and finishes its work once the gate opens.
  EXPECT_EQ(WaitForSingleObject(job.finished, 20), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseSemaphore(gated_.gate, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(job.finished, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(job.finished));
}

TEST_F(ThreadTest, WaitForAllOfSixteenWorkers) {
  std::atomic<int> finished{0};
  struct Worker {
    HANDLE gate;
    std::atomic<int>* finished;
  } worker{gated_.gate, &finished};
  std::vector<HANDLE> threads;
  for (int i = 0; i < 16; ++i) {
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID raw) -> DWORD {
          auto* w = static_cast<Worker*>(raw);
          WaitForSingleObject(w->gate, INFINITE);
          w->finished->fetch_add(1);
          return 0;
        },
        &worker, 0, nullptr);
    ASSERT_NE(t, nullptr);
    threads.push_back(t);
  }
  EXPECT_EQ(WaitForMultipleObjects(16, threads.data(), TRUE, 10), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseSemaphore(gated_.gate, 15, nullptr));
  // Fifteen have ended, one still waits: "all" is not yet satisfied.
  EXPECT_EQ(WaitForMultipleObjects(16, threads.data(), TRUE, 10), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseSemaphore(gated_.gate, 1, nullptr));
  EXPECT_EQ(WaitForMultipleObjects(16, threads.data(), TRUE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(finished.load(), 16);
  for (HANDLE t : threads) EXPECT_TRUE(CloseHandle(t));
}

TEST_F(ThreadTest, SuspendedCreationAndMissingRoutineAreRefused) {
  EXPECT_EQ(CreateThread(nullptr, 0, gated_routine, &gated_, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ProcessIdentity, IdsAreTheKernelIds) {
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(::gettid()));
  DWORD other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, GetCurrentThreadId());
  EXPECT_TRUE(FreeConsole());
}

class SemaphoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
  }
  HANDLE make(LONG initial, LONG maximum) {
    HANDLE h = CreateSemaphoreW(nullptr, initial, maximum, nullptr);
    if (h != nullptr) handles_.push_back(h);
    return h;
  }
  std::vector<HANDLE> handles_;
};

TEST_F(SemaphoreTest, CreationChecksItsCounts) {
  EXPECT_EQ(CreateSemaphoreW(nullptr, 2, 1, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateSemaphoreW(nullptr, -1, 1, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 1, L"Global\\gate"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(SemaphoreTest, ReleaseBeyondTheMaximumFailsAndChangesNothing) {
  HANDLE s = make(1, 2);
  ASSERT_NE(s, nullptr);
  LONG previous = -5;
  EXPECT_FALSE(ReleaseSemaphore(s, 2, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_TRUE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(previous, 0);
}

TEST_F(SemaphoreTest, ReleaseOnAnotherKindOfHandleIsInvalid) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ASSERT_NE(port, nullptr);
  handles_.push_back(port);
  EXPECT_FALSE(ReleaseSemaphore(port, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(port, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SemaphoreTest, WaitForAnyTakesTheFirstSignalledObjectOnly) {
  HANDLE empty = make(0, 1), full = make(1, 1), also_full = make(1, 1);
  HANDLE set[] = {empty, full, also_full};
  EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 15), WAIT_TIMEOUT);
}

TEST_F(SemaphoreTest, WaitForAllTakesNothingUntilEverythingIsSignalled) {
  HANDLE a = make(1, 1), b = make(0, 1);
  HANDLE set[] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 10), WAIT_TIMEOUT);
  // `a` was not consumed by the failed wait.
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseSemaphore(a, 1, nullptr));

  std::thread releaser([&] { ReleaseSemaphore(b, 1, nullptr); });
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, INFINITE), WAIT_OBJECT_0);
  releaser.join();
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
}

TEST_F(SemaphoreTest, WaitArgumentsAreChecked) {
  HANDLE a = make(1, 1);
  HANDLE twice[] = {a, a};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, a);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  HANDLE bad[] = {a, reinterpret_cast<HANDLE>(0x1234)};
  EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // Nothing was consumed by the failed calls.
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
}

TEST_F(SemaphoreTest, BinarySemaphoreExcludesConcurrentHolders) {
  HANDLE gate = make(1, 1);
  int inside = 0, most_inside = 0;
  long total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        WaitForSingleObject(gate, INFINITE);
        most_inside = std::max(most_inside, ++inside);
        ++total;
        --inside;
        ReleaseSemaphore(gate, 1, nullptr);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(most_inside, 1);
  EXPECT_EQ(total, 8 * 2000);
}

TEST(CriticalSection, ExcludesOtherThreadsAndLetsTheOwnerReenter) {
  CRITICAL_SECTION section;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 100));
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&section);
        EnterCriticalSection(&section);
        ++counter;
        LeaveCriticalSection(&section);
        LeaveCriticalSection(&section);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8 * 20000);
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, WithoutSpinningItBlocksAndWakes) {
  CRITICAL_SECTION section;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 0));
  EnterCriticalSection(&section);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    EnterCriticalSection(&section);
    entered = true;
    LeaveCriticalSection(&section);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered.load());
  LeaveCriticalSection(&section);
  other.join();
  EXPECT_TRUE(entered.load());
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, InitialisationFailureCanBeInjected) {
  inject_failure("InitializeCriticalSectionAndSpinCount", ERROR_NOT_ENOUGH_MEMORY);
  CRITICAL_SECTION section;
  SetLastError(0);
  EXPECT_FALSE(InitializeCriticalSectionAndSpinCount(&section, 100));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 100));
  DeleteCriticalSection(&section);
  clear_injected_failures();
}

}  // namespace
