// Measures each engine once, on a small buffer that stays in the L1 cache,
// taking the fastest of a few tries so that a preemption during one try
// does not count; the whole measurement takes well under a millisecond.
#include "digest/lane_plan.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "digest/md5_steps.h"

namespace md5_detail {
namespace {

constexpr std::size_t kBlocks = 64;
constexpr int kTries = 5;

template <typename Step>
double fastest_ns_per_block(Step step) {
  double best = 0;
  for (int i = 0; i <= kTries; ++i) {
    const auto start = std::chrono::steady_clock::now();
    step();
    const auto end = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(end - start).count() / kBlocks;
    // The first try only brings code and data into the caches.
    if (i == 1 || (i > 1 && ns < best)) best = ns;
  }
  // A clock too coarse to see the work would make a kernel look free.
  return std::max(best, 0.01);
}

double kernel_cost(Md5Lanes lanes, const std::uint8_t* buffer) {
  const BlocksFunction kernel = lane_kernel(lanes);
  if (kernel == nullptr || !cpu_has(lanes)) return 0;
  const std::uint8_t* feed[kMaxLanes];
  std::fill(std::begin(feed), std::end(feed), buffer);
  alignas(64) std::uint32_t state[4][kMaxLanes] = {};
  return fastest_ns_per_block([&] { kernel(feed, kBlocks, state); });
}

LaneCosts measure() {
  alignas(64) static std::uint8_t buffer[kBlocks * 64];
  LaneCosts costs;
  std::uint32_t chain[4] = {kInitial[0], kInitial[1], kInitial[2], kInitial[3]};
  costs.scalar = fastest_ns_per_block([&] { md5_blocks(chain, buffer, kBlocks); });
  const std::uint8_t* feed[kMaxLanes];
  std::fill(std::begin(feed), std::end(feed), buffer);
  alignas(64) std::uint32_t state[4][kMaxLanes] = {};
  costs.interleaved2 = fastest_ns_per_block([&] { md5_interleaved_2(feed, kBlocks, state); });
  costs.interleaved3 = fastest_ns_per_block([&] { md5_interleaved_3(feed, kBlocks, state); });
  costs.avx2 = kernel_cost(Md5Lanes::kAvx2, buffer);
  costs.avx512 = kernel_cost(Md5Lanes::kAvx512, buffer);
  return costs;
}

}  // namespace

const LaneCosts& lane_costs() {
  static const LaneCosts costs = measure();
  return costs;
}

double widest_step_cost(Md5Lanes widest) {
  const LaneCosts& costs = lane_costs();
  if (widest == Md5Lanes::kAvx512 && costs.avx512 > 0) return costs.avx512;
  if (widest != Md5Lanes::kScalar && costs.avx2 > 0) return costs.avx2;
  return costs.scalar;
}

namespace {

// The cheapest plan for every count of messages, for one widest engine: the
// plan for n is the cheapest first group (any engine, filled with up to its
// width) followed by the cheapest plan for the rest.
struct PlanTable {
  LanePlan plans[kMaxLanes + 1];
};

PlanTable make_table(Md5Lanes widest) {
  const LaneCosts& costs = lane_costs();
  struct Engine {
    BlocksFunction kernel;
    std::size_t width;
    double cost;
  };
  Engine engines[5];
  std::size_t engine_count = 0;
  engines[engine_count++] = {nullptr, 1, costs.scalar};
  engines[engine_count++] = {md5_interleaved_2, 2, costs.interleaved2};
  engines[engine_count++] = {md5_interleaved_3, 3, costs.interleaved3};
  if (widest != Md5Lanes::kScalar && costs.avx2 > 0) {
    engines[engine_count++] = {lane_kernel(Md5Lanes::kAvx2), 8, costs.avx2};
  }
  if (widest == Md5Lanes::kAvx512 && costs.avx512 > 0) {
    engines[engine_count++] = {lane_kernel(Md5Lanes::kAvx512), 16, costs.avx512};
  }

  PlanTable table;
  double best[kMaxLanes + 1] = {0};
  for (std::size_t n = 1; n <= kMaxLanes; ++n) {
    best[n] = -1;
    for (std::size_t e = 0; e < engine_count; ++e) {
      const Engine& engine = engines[e];
      const std::size_t take = std::min(engine.width, n);
      const double cost = engine.cost + best[n - take];
      if (best[n] >= 0 && cost >= best[n]) continue;
      best[n] = cost;
      LanePlan& plan = table.plans[n];
      plan = table.plans[n - take];
      // The first group goes first: the oldest messages take the engine
      // chosen for them here.
      std::copy_backward(plan.group, plan.group + plan.groups, plan.group + plan.groups + 1);
      plan.group[0] = {engine.kernel, engine.width, take};
      ++plan.groups;
    }
  }
  // A lone message goes by itself, whatever the measurement said.
  table.plans[1] = LanePlan{};
  table.plans[1].groups = 1;
  return table;
}

}  // namespace

const LanePlan& lane_plan(Md5Lanes widest, std::size_t count) {
  static const PlanTable tables[3] = {make_table(Md5Lanes::kScalar), make_table(Md5Lanes::kAvx2),
                                      make_table(Md5Lanes::kAvx512)};
  const std::size_t which = widest == Md5Lanes::kAvx512 ? 2 : widest == Md5Lanes::kAvx2 ? 1 : 0;
  return tables[which].plans[std::min(count, kMaxLanes)];
}

}  // namespace md5_detail
