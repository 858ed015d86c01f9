// The kernels behind md5_many and the combiner: the interleaved scalar ones
// for every build, and the vector ones, one set per build: md5_lanes_x86.cc
// on x86-64 with TRV_DIGEST_LANES=ON, md5_lanes_portable.cc (none) otherwise.
// Internal to digest/; the kernels keep no state and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5_lanes.h"

namespace md5_detail {

inline constexpr std::size_t kMaxLanes = 16;

// Hashes `blocks` 64-byte blocks from each lane, p[lane] onwards, into the
// chaining words state[word][lane], for as many lanes as the kernel is wide.
using BlocksFunction = void (*)(const std::uint8_t* const* p, std::size_t blocks,
                                std::uint32_t (*state)[kMaxLanes]);

// Two, three or four messages through the scalar rounds at once, interleaved
// (md5_interleaved.cc); every build and CPU has them.
void md5_interleaved_2(const std::uint8_t* const* p, std::size_t blocks,
                       std::uint32_t (*state)[kMaxLanes]);
void md5_interleaved_3(const std::uint8_t* const* p, std::size_t blocks,
                       std::uint32_t (*state)[kMaxLanes]);
void md5_interleaved_4(const std::uint8_t* const* p, std::size_t blocks,
                       std::uint32_t (*state)[kMaxLanes]);

// True when the CPU runs `lanes` and this build has a kernel for it.
bool cpu_has(Md5Lanes lanes);
// The kernel for `lanes`, or null for kScalar and for lanes this build lacks.
BlocksFunction lane_kernel(Md5Lanes lanes);
// The AVX2 kernel for sixteen lanes, two sets of eight whose steps
// alternate (each set's chain waits on the vector unit's latency, which the
// other fills), or null where this build or CPU lacks AVX2.
BlocksFunction avx2_pair_kernel();

}  // namespace md5_detail
