// Which engines advance a set of messages most cheaply on this CPU: the
// scalar engine one message at a time, the interleaved scalar rounds two to
// four at a time, or a vector kernel that advances up to 8 or 16 of them
// per step. A step of a kernel costs the same however many of its lanes
// carry a message, and what a step costs differs from CPU to CPU (an AVX2
// pass of 8 costs about two scalar blocks on one CPU and three and a half on
// another), so the costs are measured once per process, on first use, and
// every count of messages gets the cheapest split into groups.
// Internal to digest/; thread-safe.
#pragma once

#include <cstddef>

#include "digest/lane_kernels.h"

namespace md5_detail {

// `count` messages (at most `width`) through one kernel; `kernel` null: the
// scalar engine, one message.
struct LaneGroup {
  BlocksFunction kernel = nullptr;
  std::size_t width = 1;
  std::size_t count = 1;
};

// The groups, in the order of the messages they take.
struct LanePlan {
  std::size_t groups = 0;
  LaneGroup group[kMaxLanes];

  // True when every message would go on by itself on the scalar engine.
  bool alone() const { return groups == 0 || (groups == 1 && group[0].kernel == nullptr); }
};

// The cheapest split of `count` messages (1 to 16) into groups, among the
// scalar engine, the interleaved rounds and the vector kernels up to
// `widest` that this build and CPU run. A lone message goes on the scalar
// engine.
const LanePlan& lane_plan(Md5Lanes widest, std::size_t count);

// Nanoseconds one step of each engine takes (one 64-byte block of every
// message it carries), as measured; 0 for an engine this build or CPU lacks.
// For the benchmark's report.
struct LaneCosts {
  double scalar = 0;
  double interleaved2 = 0;
  double interleaved3 = 0;
  double interleaved4 = 0;
  double avx2 = 0;
  double avx2_pair = 0;  // sixteen lanes in two sets of eight
  double avx512 = 0;
};
const LaneCosts& lane_costs();
// What one step of the widest engine up to `widest` costs, in nanoseconds.
double widest_step_cost(Md5Lanes widest);
// The most messages one engine up to `widest` carries at once: 16 with
// AVX-512 or with AVX2 (two sets of eight), 4 (the interleaved rounds)
// without vector lanes.
std::size_t widest_group(Md5Lanes widest);

}  // namespace md5_detail
