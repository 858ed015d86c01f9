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

LanePlan lane_plan(Md5Lanes widest, std::size_t count) {
  LanePlan plan;
  if (count < 2 || widest == Md5Lanes::kScalar) return plan;
  const LaneCosts& costs = lane_costs();
  // Cost of advancing all `count` messages by one block.
  double best = costs.scalar * static_cast<double>(count);
  const auto consider = [&](Md5Lanes lanes, double step_cost) {
    if (step_cost <= 0) return;
    const std::size_t width = md5_lane_width(lanes);
    const double cost = step_cost * static_cast<double>((count + width - 1) / width);
    if (cost < best) {
      best = cost;
      plan = {lane_kernel(lanes), width};
    }
  };
  consider(Md5Lanes::kAvx2, costs.avx2);
  if (widest == Md5Lanes::kAvx512) consider(Md5Lanes::kAvx512, costs.avx512);
  return plan;
}

}  // namespace md5_detail
