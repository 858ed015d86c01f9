// Which engine advances a set of messages most cheaply on this CPU: the
// scalar engine one message at a time, or a vector kernel that advances up
// to 8 or 16 of them per step. A pass of a wide kernel costs the same
// however many of its lanes carry a message, and what a pass costs against
// one scalar block differs from CPU to CPU (an AVX2 pass of 8 costs about
// two scalar blocks on one CPU and three and a half on another), so the
// costs are measured once per process, on first use, rather than assumed.
// Internal to digest/; thread-safe.
#pragma once

#include <cstddef>

#include "digest/lane_kernels.h"

namespace md5_detail {

// `kernel` null: the scalar engine, one message at a time.
struct LanePlan {
  BlocksFunction kernel = nullptr;
  std::size_t width = 1;
};

// The cheapest engine per message-block for advancing `count` messages
// together, among the scalar engine and the kernels up to `widest` that this
// build and CPU run.
LanePlan lane_plan(Md5Lanes widest, std::size_t count);

// Nanoseconds one step of each engine takes (one 64-byte block in every
// lane), as measured; 0 for an engine this build or CPU lacks. For the
// benchmark's report.
struct LaneCosts {
  double scalar = 0;
  double avx2 = 0;
  double avx512 = 0;
};
const LaneCosts& lane_costs();
// What one step of the widest engine up to `widest` costs, in nanoseconds.
double widest_step_cost(Md5Lanes widest);

}  // namespace md5_detail
