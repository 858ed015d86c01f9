// The fragment plan's edge cases, and that the gathered write is the stub
// cut where the plan says.
#include "dcerpc/fragment_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "dcerpc/pdu.h"

namespace rpc {
namespace {

constexpr std::size_t kHeader = 24;
constexpr std::uint8_t kFirst = pfc::kFirstFrag;
constexpr std::uint8_t kLast = pfc::kLastFrag;

struct Expected {
  std::uint8_t flags;
  std::size_t stub_length;
  std::uint32_t alloc_hint;
};

TEST(FragmentPlan, CutsStubsAtMultiplesOfEightUnderTheMaximum) {
  struct Case {
    const char* name;
    std::size_t stub;
    std::size_t max_fragment;
    std::vector<Expected> fragments;
  };
  const std::vector<Case> cases = {
      {"empty stub", 0, 5840, {{kFirst | kLast, 0, 0}}},
      // 5840 - 24 = 5816, a multiple of 8.
      {"exactly one fragment", 5816, 5840, {{kFirst | kLast, 5816, 5816}}},
      {"one byte over", 5817, 5840, {{kFirst, 5816, 5817}, {kLast, 1, 1}}},
      {"exactly two fragments", 2 * 5816, 5840, {{kFirst, 5816, 11632}, {kLast, 5816, 5816}}},
      // 5843 - 24 = 5819 rounds down to 5816.
      {"odd maximum", 5817, 5843, {{kFirst, 5816, 5817}, {kLast, 1, 1}}},
      {"tiny maximum", 20, kHeader + 8, {{kFirst, 8, 20}, {0, 8, 12}, {kLast, 4, 4}}},
      {"tiny maximum, not a multiple", 9, kHeader + 15, {{kFirst, 8, 9}, {kLast, 1, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Fragment> plan;
    ASSERT_TRUE(plan_fragments(c.stub, c.max_fragment, kHeader, &plan));
    ASSERT_EQ(plan.size(), c.fragments.size());
    std::size_t offset = 0;
    for (std::size_t i = 0; i < plan.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(plan[i].flags, c.fragments[i].flags);
      EXPECT_EQ(plan[i].stub_length, c.fragments[i].stub_length);
      EXPECT_EQ(plan[i].alloc_hint, c.fragments[i].alloc_hint);
      EXPECT_EQ(plan[i].frag_length, kHeader + c.fragments[i].stub_length);
      EXPECT_LE(plan[i].frag_length, c.max_fragment);
      EXPECT_EQ(plan[i].stub_offset, offset);
      offset += plan[i].stub_length;
    }
    EXPECT_EQ(offset, c.stub);
  }
}

TEST(FragmentPlan, RefusesWhatCannotBeFramed) {
  std::vector<Fragment> plan = {Fragment{}};
  // No room for 8 stub bytes after the header.
  EXPECT_FALSE(plan_fragments(1, kHeader + 7, kHeader, &plan));
  EXPECT_TRUE(plan.empty());
  EXPECT_FALSE(plan_fragments(0, kHeader, kHeader, &plan));
  EXPECT_FALSE(plan_fragments(0, kHeader - 1, kHeader, &plan));
  // The allocation hint is 32 bits.
  EXPECT_FALSE(plan_fragments(std::size_t{UINT32_MAX} + 1, 5840, kHeader, &plan));
  EXPECT_EQ(stub_per_fragment(kHeader + 7, kHeader), 0u);
  EXPECT_EQ(stub_per_fragment(kHeader + 8, kHeader), 8u);
}

// The write list, joined, is each header followed by its share of the stub,
// whether the stub comes in one piece or in pieces that fragments straddle
// (with empty pieces among them).
TEST(FragmentPlan, GatherFollowsThePlanAcrossPieces) {
  std::vector<std::uint8_t> stub(45);
  std::iota(stub.begin(), stub.end(), std::uint8_t{1});
  const std::vector<std::vector<ConstBuffer>> layouts = {
      {{stub.data(), 45}},
      {{stub.data(), 0},
       {stub.data(), 3},
       {stub.data() + 3, 0},
       {stub.data() + 3, 13},
       {stub.data() + 16, 29},
       {stub.data() + 45, 0}},
      {{stub.data(), 16}, {stub.data() + 16, 16}, {stub.data() + 32, 13}},
  };
  std::vector<Fragment> plan;
  ASSERT_TRUE(plan_fragments(stub.size(), kHeader + 16, kHeader, &plan));
  ASSERT_EQ(plan.size(), 3u);
  std::vector<std::uint8_t> headers(plan.size() * kHeader);
  for (std::size_t i = 0; i < headers.size(); ++i)
    headers[i] = static_cast<std::uint8_t>(0x80 + i / kHeader);

  std::vector<std::uint8_t> expected;
  for (std::size_t f = 0; f < plan.size(); ++f) {
    expected.insert(expected.end(), kHeader, static_cast<std::uint8_t>(0x80 + f));
    expected.insert(expected.end(), stub.begin() + plan[f].stub_offset,
                    stub.begin() + plan[f].stub_offset + plan[f].stub_length);
  }
  for (std::size_t l = 0; l < layouts.size(); ++l) {
    SCOPED_TRACE(l);
    std::vector<ConstBuffer> pieces;
    gather_fragments(plan, headers.data(), kHeader, layouts[l], &pieces);
    std::vector<std::uint8_t> joined;
    for (const ConstBuffer& piece : pieces) {
      EXPECT_GT(piece.size, 0u);
      const auto* bytes = static_cast<const std::uint8_t*>(piece.data);
      joined.insert(joined.end(), bytes, bytes + piece.size);
    }
    EXPECT_EQ(joined, expected);
  }
}

}  // namespace
}  // namespace rpc
