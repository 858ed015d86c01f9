// The reassembly blocks, carved from large buffers: a block handed out
// twice at once would mix two requests' bytes.
#include "dcerpc/stub_pool.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "gtest/gtest.h"

namespace {

constexpr std::size_t kBlock = (1u << 20) + 2 * rpc::kStubAlignment;

TEST(StubPoolTest, BlocksNeverOverlapAreAlignedAndComeBackForTheNextCalls) {
  rpc::StubPool pool(kBlock, 16);
  // More at once than the pool keeps: the rest are made one by one.
  std::vector<rpc::StubBlock> blocks;
  for (int i = 0; i < 20; ++i) {
    blocks.push_back(pool.take(kBlock - i));
    ASSERT_NE(blocks.back().data, nullptr);
    EXPECT_EQ(blocks.back().capacity, kBlock);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks.back().data) % rpc::kStubAlignment, 0u);
    std::memset(blocks.back().data, i + 1, kBlock);
  }
  auto sorted = blocks;
  std::sort(sorted.begin(), sorted.end(),
            [](const rpc::StubBlock& a, const rpc::StubBlock& b) { return a.data < b.data; });
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    EXPECT_GE(sorted[i].data, sorted[i - 1].data + kBlock) << i;
  }
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(blocks[i].data[0], i + 1);
    EXPECT_EQ(blocks[i].data[kBlock - 1], i + 1);
  }
  std::set<std::uint8_t*> first;
  for (const rpc::StubBlock& block : blocks) first.insert(block.data);
  for (const rpc::StubBlock& block : blocks) pool.give_back(block);
  // The next calls get kept blocks again.
  for (int i = 0; i < 16; ++i) {
    blocks[i] = pool.take(kBlock);
    EXPECT_EQ(first.count(blocks[i].data), 1u) << i;
  }
  for (int i = 0; i < 16; ++i) pool.give_back(blocks[i]);
}

}  // namespace
