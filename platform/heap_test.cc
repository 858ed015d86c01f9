// Conformance of private heaps: the maximum size, foreign and double frees, and
// exact accounting under concurrent use.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

class HeapTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (heap_ != nullptr) HeapDestroy(heap_);
  }
  HANDLE heap_ = nullptr;
};

TEST_F(HeapTest, AllocationsStopAtTheMaximumAndResumeAfterAFree) {
  heap_ = HeapCreate(0, 100, 1000);
  ASSERT_NE(heap_, nullptr);
  void* a = HeapAlloc(heap_, 0, 600);
  ASSERT_NE(a, nullptr);
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(heap_, 0, 401), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  void* b = HeapAlloc(heap_, 0, 400);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(HeapAlloc(heap_, 0, 1), nullptr);
  EXPECT_TRUE(HeapFree(heap_, 0, a));
  void* c = HeapAlloc(heap_, 0, 600);
  EXPECT_NE(c, nullptr);
  EXPECT_TRUE(HeapFree(heap_, 0, b));
  EXPECT_TRUE(HeapFree(heap_, 0, c));
}

TEST_F(HeapTest, HugeRequestDoesNotWrapTheBudget) {
  heap_ = HeapCreate(0, 0, 1 << 20);
  ASSERT_NE(heap_, nullptr);
  void* a = HeapAlloc(heap_, 0, 1000);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(HeapAlloc(heap_, 0, SIZE_MAX - 10), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(HeapFree(heap_, 0, a));
}

TEST_F(HeapTest, BlocksAreUsableZeroedOnRequestAndDistinct) {
  heap_ = HeapCreate(0, 64 << 20, 128 << 20);
  ASSERT_NE(heap_, nullptr);
  auto* zeroed = static_cast<unsigned char*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, 1 << 20));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < (1 << 20); i += 4096) ASSERT_EQ(zeroed[i], 0) << i;
  void* empty1 = HeapAlloc(heap_, 0, 0);
  void* empty2 = HeapAlloc(heap_, 0, 0);
  EXPECT_NE(empty1, nullptr);
  EXPECT_NE(empty1, empty2);
  std::memset(zeroed, 0xAB, 1 << 20);
  EXPECT_TRUE(HeapFree(heap_, 0, zeroed));
  EXPECT_TRUE(HeapFree(heap_, 0, empty1));
  EXPECT_TRUE(HeapFree(heap_, 0, empty2));
}

TEST_F(HeapTest, FreeingWhatTheHeapDidNotHandOutFails) {
  heap_ = HeapCreate(0, 0, 0);
  ASSERT_NE(heap_, nullptr);
  void* block = HeapAlloc(heap_, 0, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(HeapFree(heap_, 0, block));
  EXPECT_FALSE(HeapFree(heap_, 0, block));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  int local = 0;
  EXPECT_FALSE(HeapFree(heap_, 0, &local));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(HeapFree(heap_, 0, nullptr));

  HANDLE other = HeapCreate(0, 0, 0);
  ASSERT_NE(other, nullptr);
  void* foreign = HeapAlloc(other, 0, 8);
  EXPECT_FALSE(HeapFree(heap_, 0, foreign));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(HeapDestroy(other));  // takes its remaining block with it
}

TEST_F(HeapTest, DestroyedHeapIsInvalidAndNotAKernelHandle) {
  HANDLE heap = HeapCreate(0, 0, 4096);
  ASSERT_NE(heap, nullptr);
  EXPECT_FALSE(CloseHandle(heap));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_NE(HeapAlloc(heap, 0, 10), nullptr);  // the block goes with the heap
  EXPECT_TRUE(HeapDestroy(heap));
  EXPECT_EQ(HeapAlloc(heap, 0, 10), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(HeapFree(heap, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(HeapDestroy(heap));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(HeapCreate(0, 2000, 1000), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(HeapTest, ConcurrentUseKeepsTheAccountExact) {
  constexpr SIZE_T kMaximum = 8 * 64 * 1024;
  heap_ = HeapCreate(0, 0, kMaximum);
  ASSERT_NE(heap_, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 2000; ++i) {
        void* block = HeapAlloc(heap_, 0, 1024 + i % 7);
        if (block != nullptr) HeapFree(heap_, 0, block);
      }
    });
  }
  for (auto& t : threads) t.join();
  // Everything was returned: the whole budget is available again.
  void* all = HeapAlloc(heap_, 0, kMaximum);
  EXPECT_NE(all, nullptr);
  EXPECT_TRUE(HeapFree(heap_, 0, all));
}

}  // namespace
