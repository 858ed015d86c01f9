// Multi-lane MD5: groups messages for the widest kernel this build and CPU
// offer (lane_kernels.h), advances the lanes together over the whole blocks
// they share and finishes each message with the scalar engine.
#include "digest/md5_lanes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "digest/lane_kernels.h"
#include "digest/lane_plan.h"
#include "digest/md5.h"
#include "digest/md5_steps.h"

namespace {

using md5_detail::BlocksFunction;
using md5_detail::kInitial;
using md5_detail::kMaxLanes;

// Finishes a message whose first `consumed` bytes (a multiple of 64) are
// already in the chaining words `chain`.
void finish_scalar(const std::uint32_t (&chain)[4], const std::uint8_t* data, std::size_t length,
                   std::size_t consumed, std::uint8_t* digest) {
  Md5Context context;
  md5_detail::md5_resume(&context, chain, consumed);
  // md5_update takes 32-bit lengths.
  while (consumed < length) {
    const std::size_t piece = std::min<std::size_t>(length - consumed, std::size_t{1} << 30);
    md5_update(&context, data + consumed, static_cast<std::uint32_t>(piece));
    consumed += piece;
  }
  md5_final(digest, &context);
}

// Hashes up to `width` messages with `blocks_fn`. While at least two lanes
// still have whole blocks, all of them advance by the smallest such count;
// lanes that are done ride along on another lane's data and their result
// is thrown away.
void hash_group(BlocksFunction blocks_fn, std::size_t width, const std::uint8_t* const* data,
                const std::size_t* lengths, std::uint8_t (*digests)[kDigestLength],
                std::size_t count) {
  alignas(64) std::uint32_t state[4][kMaxLanes];
  alignas(64) std::uint32_t work[4][kMaxLanes];
  const std::uint8_t* pointers[kMaxLanes];
  std::size_t left[kMaxLanes];
  for (std::size_t lane = 0; lane < width; ++lane) {
    for (int w = 0; w < 4; ++w) state[w][lane] = kInitial[w];
    const bool used = lane < count;
    pointers[lane] = used ? data[lane] : nullptr;
    left[lane] = used ? lengths[lane] / 64 : 0;
  }
  for (;;) {
    std::size_t active = 0;
    std::size_t first = 0;
    std::size_t step = 0;
    for (std::size_t lane = 0; lane < width; ++lane) {
      if (left[lane] == 0) continue;
      if (active++ == 0) first = lane;
      step = step == 0 ? left[lane] : std::min(step, left[lane]);
    }
    if (active < 2) break;
    const std::uint8_t* feed[kMaxLanes];
    for (std::size_t lane = 0; lane < width; ++lane) {
      feed[lane] = left[lane] != 0 ? pointers[lane] : pointers[first];
    }
    std::memcpy(work, state, sizeof work);
    blocks_fn(feed, step, work);
    for (std::size_t lane = 0; lane < width; ++lane) {
      if (left[lane] == 0) continue;
      for (int w = 0; w < 4; ++w) state[w][lane] = work[w][lane];
      pointers[lane] += step * 64;
      left[lane] -= step;
    }
  }
  for (std::size_t lane = 0; lane < count; ++lane) {
    const std::uint32_t chain[4] = {state[0][lane], state[1][lane], state[2][lane], state[3][lane]};
    const std::size_t consumed = static_cast<std::size_t>(pointers[lane] - data[lane]);
    finish_scalar(chain, data[lane], lengths[lane], consumed, digests[lane]);
  }
}

}  // namespace

bool md5_lanes_supported(Md5Lanes lanes) { return md5_detail::cpu_has(lanes); }

namespace {

Md5Lanes find_best() {
#ifdef TRV_TEST_HOOKS
  // Test and benchmark builds can be held to narrower lanes than the CPU
  // has (TRV_MD5_LANES=16, 8 or 1), so that one machine shows both widths.
  if (const char* forced = std::getenv("TRV_MD5_LANES"); forced != nullptr) {
    const std::string width = forced;
    if (width == "1") return Md5Lanes::kScalar;
    if (width == "8" && md5_lanes_supported(Md5Lanes::kAvx2)) return Md5Lanes::kAvx2;
  }
#endif
  return md5_lanes_supported(Md5Lanes::kAvx512) ? Md5Lanes::kAvx512
         : md5_lanes_supported(Md5Lanes::kAvx2) ? Md5Lanes::kAvx2
                                                : Md5Lanes::kScalar;
}

}  // namespace

Md5Lanes md5_lanes_best() {
  static const Md5Lanes best = find_best();
  return best;
}

std::size_t md5_lane_width(Md5Lanes lanes) {
  switch (lanes) {
    case Md5Lanes::kScalar:
      return 1;
    case Md5Lanes::kAvx2:
      return 8;
    case Md5Lanes::kAvx512:
      return 16;
  }
  return 1;
}

const char* md5_lanes_name(Md5Lanes lanes) {
  switch (lanes) {
    case Md5Lanes::kScalar:
      return "scalar";
    case Md5Lanes::kAvx2:
      return "avx2";
    case Md5Lanes::kAvx512:
      return "avx512";
  }
  return "unknown";
}

void md5_many_using(Md5Lanes lanes, const std::uint8_t* const* data, const std::size_t* lengths,
                    std::uint8_t (*digests)[kDigestLength], std::size_t count) {
  // A lane pass costs about as much as hashing two messages one after the
  // other (measured on AVX2 with 1 MiB messages: 2.85 ms a pass, 1.50 ms a
  // message alone), so a lone message goes to the scalar engine and two or
  // more go through the lanes.
  const BlocksFunction kernel = md5_detail::lane_kernel(lanes);
  const std::size_t width = kernel != nullptr ? md5_lane_width(lanes) : 1;
  constexpr std::size_t fewest = 2;
  std::size_t start = 0;
  while (start < count) {
    const std::size_t n = std::min(width, count - start);
    if (n < fewest) {
      for (std::size_t i = start; i < start + n; ++i) {
        finish_scalar({kInitial[0], kInitial[1], kInitial[2], kInitial[3]}, data[i], lengths[i], 0,
                      digests[i]);
      }
    } else {
      hash_group(kernel, width, data + start, lengths + start, digests + start, n);
    }
    start += n;
  }
}

std::size_t md5_many_group() { return md5_detail::widest_group(md5_lanes_best()); }

void md5_many(const std::uint8_t* const* data, const std::size_t* lengths,
              std::uint8_t (*digests)[kDigestLength], std::size_t count) {
  // Each group goes to whichever engine hashes that many most cheaply here.
  const Md5Lanes widest = md5_lanes_best();
  const std::size_t group = md5_many_group();
  for (std::size_t start = 0; start < count;) {
    const std::size_t n = std::min(group, count - start);
    const md5_detail::LanePlan& plan = md5_detail::lane_plan(widest, n);
    std::size_t first = start;
    for (std::size_t g = 0; g < plan.groups; ++g) {
      const md5_detail::LaneGroup& lanes = plan.group[g];
      if (lanes.kernel == nullptr) {
        finish_scalar({kInitial[0], kInitial[1], kInitial[2], kInitial[3]}, data[first],
                      lengths[first], 0, digests[first]);
      } else {
        hash_group(lanes.kernel, lanes.width, data + first, lengths + first, digests + first,
                   lanes.count);
      }
      first += lanes.count;
    }
    start += n;
  }
}
