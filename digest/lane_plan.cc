// Measures each engine once, on a small buffer that stays in the L1 cache,
// taking the fastest of a few tries so that a preemption during one try
// does not count. The tries go round the engines, so that a slow spell
// (another guest on the host, a clock ramping up) slows every engine's
// same try rather than all of one engine's. The whole measurement takes
// about half a millisecond.
#include "digest/lane_plan.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "digest/md5_steps.h"

namespace md5_detail {
namespace {

constexpr std::size_t kBlocks = 64;
constexpr int kTries = 8;

// The scalar engine on lane 0, in the kernels' shape.
void scalar_blocks(const std::uint8_t* const* p, std::size_t blocks,
                   std::uint32_t (*state)[kMaxLanes]) {
  std::uint32_t chain[4] = {state[0][0], state[1][0], state[2][0], state[3][0]};
  md5_blocks(chain, p[0], blocks);
  for (int w = 0; w < 4; ++w) state[w][0] = chain[w];
}

BlocksFunction vector_kernel(Md5Lanes lanes) {
  return cpu_has(lanes) ? lane_kernel(lanes) : nullptr;
}

LaneCosts measure() {
  alignas(64) static std::uint8_t buffer[kBlocks * 64];
  const std::uint8_t* feed[kMaxLanes];
  std::fill(std::begin(feed), std::end(feed), buffer);
  alignas(64) std::uint32_t state[4][kMaxLanes] = {};
  LaneCosts costs;
  const struct {
    BlocksFunction kernel;
    double* cost;
  } engines[] = {{scalar_blocks, &costs.scalar},
                 {md5_interleaved_2, &costs.interleaved2},
                 {md5_interleaved_3, &costs.interleaved3},
                 {md5_interleaved_4, &costs.interleaved4},
                 {vector_kernel(Md5Lanes::kAvx2), &costs.avx2},
                 {avx2_pair_kernel(), &costs.avx2_pair},
                 {vector_kernel(Md5Lanes::kAvx512), &costs.avx512}};
  for (int round = 0; round <= kTries; ++round) {
    for (const auto& engine : engines) {
      if (engine.kernel == nullptr) continue;
      const auto start = std::chrono::steady_clock::now();
      engine.kernel(feed, kBlocks, state);
      const auto end = std::chrono::steady_clock::now();
      const double ns = std::chrono::duration<double, std::nano>(end - start).count() / kBlocks;
      // The first round only brings code and data into the caches. A clock
      // too coarse to see the work would make a kernel look free.
      if (round == 1 || (round > 1 && ns < *engine.cost)) *engine.cost = std::max(ns, 0.01);
    }
  }
  return costs;
}

}  // namespace

const LaneCosts& lane_costs() {
  static const LaneCosts costs = measure();
  return costs;
}

namespace {

struct Engine {
  BlocksFunction kernel;  // null: the scalar engine
  std::size_t width;
  double cost;
};

// The engines up to `widest` that this build and CPU run, narrowest first;
// returns how many. The plans, the widest group and its cost all come from
// this one list.
std::size_t engines_up_to(Md5Lanes widest, Engine (&engines)[7]) {
  const LaneCosts& costs = lane_costs();
  std::size_t count = 0;
  engines[count++] = {nullptr, 1, costs.scalar};
  engines[count++] = {md5_interleaved_2, 2, costs.interleaved2};
  engines[count++] = {md5_interleaved_3, 3, costs.interleaved3};
  engines[count++] = {md5_interleaved_4, 4, costs.interleaved4};
  if (widest != Md5Lanes::kScalar && costs.avx2 > 0) {
    engines[count++] = {lane_kernel(Md5Lanes::kAvx2), 8, costs.avx2};
  }
  if (widest != Md5Lanes::kScalar && costs.avx2_pair > 0) {
    engines[count++] = {avx2_pair_kernel(), 16, costs.avx2_pair};
  }
  // Where both run, the AVX-512 kernel goes last: the widest group is its.
  if (widest == Md5Lanes::kAvx512 && costs.avx512 > 0) {
    engines[count++] = {lane_kernel(Md5Lanes::kAvx512), 16, costs.avx512};
  }
  return count;
}

Engine widest_engine(Md5Lanes widest) {
  Engine engines[7];
  return engines[engines_up_to(widest, engines) - 1];
}

}  // namespace

double widest_step_cost(Md5Lanes widest) { return widest_engine(widest).cost; }

std::size_t widest_group(Md5Lanes widest) { return widest_engine(widest).width; }

namespace {

// The cheapest plan for every count of messages, for one widest engine: the
// plan for n is the cheapest first group (any engine, filled with up to its
// width) followed by the cheapest plan for the rest.
struct PlanTable {
  LanePlan plans[kMaxLanes + 1];
};

PlanTable make_table(Md5Lanes widest) {
  Engine engines[7];
  const std::size_t engine_count = engines_up_to(widest, engines);

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
