// The chunk contexts' data buffers: two live contexts sharing one would
// send one chunk's bytes for another's.
#include "records/records.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(ChunkContextTest, LiveContextsNeverShareTheirDataBuffers) {
  std::vector<ChunkContext*> live;
  for (int i = 0; i < kChunkContextCount + 2; ++i) live.push_back(create_chunk_context(1));
  // Released and made again: one from the run's block of buffers, one
  // made beyond it.
  for (const int i : {3, kChunkContextCount}) {
    release_chunk_context(live[i]);
    live[i] = create_chunk_context(1);
  }
  for (ChunkContext* context : live) {
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(context->data) % 4096, 0u);
    std::memset(context->data, 0xEE, context->data_length);
  }
  std::vector<std::uint8_t*> starts;
  for (ChunkContext* context : live) starts.push_back(context->data);
  std::sort(starts.begin(), starts.end());
  for (std::size_t i = 1; i < starts.size(); ++i)
    EXPECT_GE(starts[i], starts[i - 1] + kChunkLength);
  for (ChunkContext* context : live) release_chunk_context(context);
}

}  // namespace
