// Two to four messages through the scalar rounds at once, their steps
// interleaved. One message's MD5 is a chain of dependent steps, each waiting
// for the last, which leaves most of a core's integer units idle; the steps
// of another message fill them. Measured on an AVX-512 EPYC: a block step of
// two messages costs what one message's does, three about 1.1 times as
// much, four (whose sixteen chaining words no longer all fit in registers)
// 1.6 times, so a few messages go through here cheaper than through vector
// lanes that are mostly empty (lane_plan.cc weighs the costs per CPU). Plain
// C++ for every CPU. No state; any thread.
#include <cstring>

#include "digest/lane_kernels.h"
#include "digest/md5_steps.h"

// The compiler would pack the messages' words into vector registers, which
// have no rotation before AVX-512 and run three times slower than the plain
// registers; CMakeLists.txt turns that off for this file.

namespace md5_detail {
namespace {

inline std::uint32_t word_at(const std::uint8_t* p) {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = (word >> 24) | ((word >> 8) & 0xff00u) | ((word << 8) & 0xff0000u) | (word << 24);
  }
  return word;
}

#define MD5X_LANE(fn, a, b, c, d, i, k, s, l)                        \
  if constexpr (N > l) {                                             \
    MD5_##fn(a##l, b##l, c##l, d##l, word_at(p##l + 4 * (i)), k, s); \
  }
#define MD5X_STEP(fn, a, b, c, d, i, k, s) \
  MD5X_LANE(fn, a, b, c, d, i, k, s, 0)    \
  MD5X_LANE(fn, a, b, c, d, i, k, s, 1)    \
  MD5X_LANE(fn, a, b, c, d, i, k, s, 2)    \
  MD5X_LANE(fn, a, b, c, d, i, k, s, 3)

template <int N>
void interleaved(const std::uint8_t* const* p, std::size_t blocks,
                 std::uint32_t (*state)[kMaxLanes]) {
  static_assert(N >= 1 && N <= 4);
  // Lanes past N are never used; they take lane 0's values so that nothing
  // is read uninitialised.
  std::uint32_t a0 = state[0][0], b0 = state[1][0], c0 = state[2][0], d0 = state[3][0];
  std::uint32_t a1 = state[0][N > 1 ? 1 : 0], b1 = state[1][N > 1 ? 1 : 0];
  std::uint32_t c1 = state[2][N > 1 ? 1 : 0], d1 = state[3][N > 1 ? 1 : 0];
  std::uint32_t a2 = state[0][N > 2 ? 2 : 0], b2 = state[1][N > 2 ? 2 : 0];
  std::uint32_t c2 = state[2][N > 2 ? 2 : 0], d2 = state[3][N > 2 ? 2 : 0];
  std::uint32_t a3 = state[0][N > 3 ? 3 : 0], b3 = state[1][N > 3 ? 3 : 0];
  std::uint32_t c3 = state[2][N > 3 ? 3 : 0], d3 = state[3][N > 3 ? 3 : 0];
  const std::uint8_t* p0 = p[0];
  const std::uint8_t* p1 = p[N > 1 ? 1 : 0];
  const std::uint8_t* p2 = p[N > 2 ? 2 : 0];
  const std::uint8_t* p3 = p[N > 3 ? 3 : 0];
  for (; blocks != 0; --blocks) {
    const std::uint32_t sa0 = a0, sb0 = b0, sc0 = c0, sd0 = d0;
    const std::uint32_t sa1 = a1, sb1 = b1, sc1 = c1, sd1 = d1;
    const std::uint32_t sa2 = a2, sb2 = b2, sc2 = c2, sd2 = d2;
    const std::uint32_t sa3 = a3, sb3 = b3, sc3 = c3, sd3 = d3;
    MD5_ALL_STEPS(MD5X_STEP)
    a0 += sa0, b0 += sb0, c0 += sc0, d0 += sd0;
    a1 += sa1, b1 += sb1, c1 += sc1, d1 += sd1;
    a2 += sa2, b2 += sb2, c2 += sc2, d2 += sd2;
    a3 += sa3, b3 += sb3, c3 += sc3, d3 += sd3;
    p0 += 64, p1 += 64, p2 += 64, p3 += 64;
  }
  state[0][0] = a0, state[1][0] = b0, state[2][0] = c0, state[3][0] = d0;
  if constexpr (N > 1) state[0][1] = a1, state[1][1] = b1, state[2][1] = c1, state[3][1] = d1;
  if constexpr (N > 2) state[0][2] = a2, state[1][2] = b2, state[2][2] = c2, state[3][2] = d2;
  if constexpr (N > 3) state[0][3] = a3, state[1][3] = b3, state[2][3] = c3, state[3][3] = d3;
}

}  // namespace

void md5_interleaved_2(const std::uint8_t* const* p, std::size_t blocks,
                       std::uint32_t (*state)[kMaxLanes]) {
  interleaved<2>(p, blocks, state);
}

void md5_interleaved_3(const std::uint8_t* const* p, std::size_t blocks,
                       std::uint32_t (*state)[kMaxLanes]) {
  interleaved<3>(p, blocks, state);
}

void md5_interleaved_4(const std::uint8_t* const* p, std::size_t blocks,
                       std::uint32_t (*state)[kMaxLanes]) {
  interleaved<4>(p, blocks, state);
}

}  // namespace md5_detail
