// The vector kernels of the multi-lane MD5 for x86-64: the rounds run on
// vectors whose 32-bit lanes hold the chaining words of different messages,
// and each block's message words are brought into the same layout by
// transposing 8x8 tiles of dwords. A step of a vector kernel waits mostly on
// the latency of its additions, not their count; blocks_avx2_pair runs two
// sets of eight lanes whose steps alternate, which makes sixteen messages
// cost about what eight did. Each kernel is compiled for its own
// instruction set alone (the rest of the program keeps the x86-64 baseline)
// and is called only after cpu_has said the CPU runs it.
#include "digest/lane_kernels.h"

// GCC 12's AVX-512 intrinsics start from a deliberately undefined vector,
// which its flow analysis reports as uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "digest/md5_steps.h"

namespace md5_detail {
namespace {

#define MD5_LANES_STEP_AVX2(fn, a, b, c, d, i, k, s)                          \
  a = _mm256_add_epi32(a, _mm256_add_epi32(x[i], _mm256_set1_epi32(int(k)))); \
  a = avx2_add_##fn(a, b, c, d);                                              \
  a = _mm256_add_epi32(avx2_rotl(a, s), b);

// One step on two independent sets of eight lanes: `a` and its partners for
// lanes 0-7 from x, a_hi and theirs for lanes 8-15 from y. Each set waits on
// its own chain, and the two chains fill each other's latency.
#define MD5_LANES_STEP_AVX2_PAIR(fn, a, b, c, d, i, k, s)                               \
  a = _mm256_add_epi32(a, _mm256_add_epi32(x[i], _mm256_set1_epi32(int(k))));           \
  a##_hi = _mm256_add_epi32(a##_hi, _mm256_add_epi32(y[i], _mm256_set1_epi32(int(k)))); \
  a = avx2_add_##fn(a, b, c, d);                                                        \
  a##_hi = avx2_add_##fn(a##_hi, b##_hi, c##_hi, d##_hi);                               \
  a = _mm256_add_epi32(avx2_rotl(a, s), b);                                             \
  a##_hi = _mm256_add_epi32(avx2_rotl(a##_hi, s), b##_hi);

#define MD5_LANES_STEP_AVX512(fn, a, b, c, d, i, k, s)                        \
  a = _mm512_add_epi32(a, _mm512_add_epi32(x[i], _mm512_set1_epi32(int(k)))); \
  MD5_LANES_OPAQUE(a);                                                        \
  a = _mm512_add_epi32(a, avx512_##fn(b, c, d));                              \
  a = _mm512_add_epi32(_mm512_rol_epi32(a, s), b);

// The vector form of MD5_OPAQUE_WORD (md5_steps.h): keeps the compiler from
// regrouping a step's additions so that one more of them waits on b (the
// 16-lane step ran 25% slower that way on a CPU whose vector additions take
// two cycles).
#define MD5_LANES_OPAQUE(v) asm("" : "+v"(v))

#define MD5_LANES_AVX2 __attribute__((target("avx2")))
#define MD5_LANES_AVX512 __attribute__((target("avx512f,avx512vl")))
#define MD5_LANES_INLINE inline __attribute__((always_inline))

MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_rotl(__m256i v, int s) {
  return _mm256_or_si256(_mm256_slli_epi32(v, s), _mm256_srli_epi32(v, 32 - s));
}
// a + F(b, c, d) and the like, for the rounds: what does not depend on b is
// formed first, and `a` is held apart from it (MD5_LANES_OPAQUE) so that the
// compiler cannot move b's part ahead of additions that do not need it.
// F = d ^ (b & (c ^ d))
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_add_F(__m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i cd = _mm256_xor_si256(c, d);
  MD5_LANES_OPAQUE(a);
  return _mm256_add_epi32(a, _mm256_xor_si256(d, _mm256_and_si256(b, cd)));
}
// G = (b & d) | (c & ~d): the two terms share no bit, so they are added one
// at a time, c & ~d before b is ready.
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_add_G(__m256i a, __m256i b, __m256i c, __m256i d) {
  a = _mm256_add_epi32(a, _mm256_andnot_si256(d, c));
  MD5_LANES_OPAQUE(a);
  return _mm256_add_epi32(a, _mm256_and_si256(b, d));
}
// H = b ^ c ^ d
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_add_H(__m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i cd = _mm256_xor_si256(c, d);
  MD5_LANES_OPAQUE(a);
  return _mm256_add_epi32(a, _mm256_xor_si256(cd, b));
}
// I = c ^ (b | ~d); AVX2 has no plain "not".
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_add_I(__m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i not_d = _mm256_xor_si256(d, _mm256_set1_epi32(-1));
  MD5_LANES_OPAQUE(a);
  return _mm256_add_epi32(a, _mm256_xor_si256(c, _mm256_or_si256(b, not_d)));
}

// Truth tables for vpternlogd with b, c, d as its first, second and third
// operands (0xf0, 0xcc, 0xaa).
MD5_LANES_AVX512 MD5_LANES_INLINE __m512i avx512_F(__m512i b, __m512i c, __m512i d) {
  return _mm512_ternarylogic_epi32(b, c, d, 0xca);
}
MD5_LANES_AVX512 MD5_LANES_INLINE __m512i avx512_G(__m512i b, __m512i c, __m512i d) {
  return _mm512_ternarylogic_epi32(b, c, d, 0xe4);
}
MD5_LANES_AVX512 MD5_LANES_INLINE __m512i avx512_H(__m512i b, __m512i c, __m512i d) {
  return _mm512_ternarylogic_epi32(b, c, d, 0x96);
}
MD5_LANES_AVX512 MD5_LANES_INLINE __m512i avx512_I(__m512i b, __m512i c, __m512i d) {
  return _mm512_ternarylogic_epi32(b, c, d, 0x39);
}

// Loads 32 bytes at p[lane] + offset for eight lanes and turns the 8x8 tile
// of dwords around: out[w] holds word w of every lane.
MD5_LANES_AVX2 MD5_LANES_INLINE void avx2_transpose(const std::uint8_t* const* p,
                                                    std::size_t offset, __m256i* out) {
  // Written out in full: GCC at -O2 keeps short loops, and with them the
  // whole tile goes through the stack.
#define MD5_LANES_ROW(i) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[i] + offset))
  const __m256i r0 = MD5_LANES_ROW(0), r1 = MD5_LANES_ROW(1);
  const __m256i r2 = MD5_LANES_ROW(2), r3 = MD5_LANES_ROW(3);
  const __m256i r4 = MD5_LANES_ROW(4), r5 = MD5_LANES_ROW(5);
  const __m256i r6 = MD5_LANES_ROW(6), r7 = MD5_LANES_ROW(7);
#undef MD5_LANES_ROW
  // Pairs of rows interleaved by dword.
  const __m256i t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
  const __m256i t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
  const __m256i t4 = _mm256_unpacklo_epi32(r4, r5), t5 = _mm256_unpackhi_epi32(r4, r5);
  const __m256i t6 = _mm256_unpacklo_epi32(r6, r7), t7 = _mm256_unpackhi_epi32(r6, r7);
  // uW holds word W (low half) and W + 4 (high half) of rows 0-3, vW the
  // same of rows 4-7.
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i v0 = _mm256_unpacklo_epi64(t4, t6), v1 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i v2 = _mm256_unpacklo_epi64(t5, t7), v3 = _mm256_unpackhi_epi64(t5, t7);
  out[0] = _mm256_permute2x128_si256(u0, v0, 0x20);
  out[1] = _mm256_permute2x128_si256(u1, v1, 0x20);
  out[2] = _mm256_permute2x128_si256(u2, v2, 0x20);
  out[3] = _mm256_permute2x128_si256(u3, v3, 0x20);
  out[4] = _mm256_permute2x128_si256(u0, v0, 0x31);
  out[5] = _mm256_permute2x128_si256(u1, v1, 0x31);
  out[6] = _mm256_permute2x128_si256(u2, v2, 0x31);
  out[7] = _mm256_permute2x128_si256(u3, v3, 0x31);
}

// The 64-byte block at `offset` of sixteen lanes as two sets of eight:
// low[w] holds word w of lanes 0-7, high[w] that of lanes 8-15.
MD5_LANES_AVX2 MD5_LANES_INLINE void avx2_transpose_16(const std::uint8_t* const* p,
                                                       std::size_t offset, __m256i* low,
                                                       __m256i* high) {
  avx2_transpose(p, offset, low);
  avx2_transpose(p, offset + 32, low + 8);
  avx2_transpose(p + 8, offset, high);
  avx2_transpose(p + 8, offset + 32, high + 8);
}

// Hashes `blocks` blocks from each of eight lanes, p[lane] onwards, into
// the chaining words state[word][lane].
MD5_LANES_AVX2 void blocks_avx2(const std::uint8_t* const* p, std::size_t blocks,
                                std::uint32_t (*state)[kMaxLanes]) {
  __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state[0]));
  __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state[1]));
  __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state[2]));
  __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state[3]));
  for (std::size_t offset = 0; blocks != 0; --blocks, offset += 64) {
    __m256i x[16];
    avx2_transpose(p, offset, x);
    avx2_transpose(p, offset + 32, x + 8);
    const __m256i a0 = a, b0 = b, c0 = c, d0 = d;
    MD5_ALL_STEPS(MD5_LANES_STEP_AVX2)
    a = _mm256_add_epi32(a, a0);
    b = _mm256_add_epi32(b, b0);
    c = _mm256_add_epi32(c, c0);
    d = _mm256_add_epi32(d, d0);
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(state[0]), a);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(state[1]), b);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(state[2]), c);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(state[3]), d);
}

// blocks_avx2 for sixteen lanes, as two sets of eight whose steps alternate.
MD5_LANES_AVX2 void blocks_avx2_pair(const std::uint8_t* const* p, std::size_t blocks,
                                     std::uint32_t (*state)[kMaxLanes]) {
#define MD5_LANES_LOAD(w, lanes) \
  _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state[w] + (lanes)))
  __m256i a = MD5_LANES_LOAD(0, 0), b = MD5_LANES_LOAD(1, 0);
  __m256i c = MD5_LANES_LOAD(2, 0), d = MD5_LANES_LOAD(3, 0);
  __m256i a_hi = MD5_LANES_LOAD(0, 8), b_hi = MD5_LANES_LOAD(1, 8);
  __m256i c_hi = MD5_LANES_LOAD(2, 8), d_hi = MD5_LANES_LOAD(3, 8);
#undef MD5_LANES_LOAD
  for (std::size_t offset = 0; blocks != 0; --blocks, offset += 64) {
    __m256i x[16];
    __m256i y[16];
    avx2_transpose_16(p, offset, x, y);
    const __m256i a0 = a, b0 = b, c0 = c, d0 = d;
    const __m256i a0_hi = a_hi, b0_hi = b_hi, c0_hi = c_hi, d0_hi = d_hi;
    MD5_ALL_STEPS(MD5_LANES_STEP_AVX2_PAIR)
    a = _mm256_add_epi32(a, a0);
    b = _mm256_add_epi32(b, b0);
    c = _mm256_add_epi32(c, c0);
    d = _mm256_add_epi32(d, d0);
    a_hi = _mm256_add_epi32(a_hi, a0_hi);
    b_hi = _mm256_add_epi32(b_hi, b0_hi);
    c_hi = _mm256_add_epi32(c_hi, c0_hi);
    d_hi = _mm256_add_epi32(d_hi, d0_hi);
  }
#define MD5_LANES_STORE(w, lanes, v) \
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(state[w] + (lanes)), v)
  MD5_LANES_STORE(0, 0, a);
  MD5_LANES_STORE(1, 0, b);
  MD5_LANES_STORE(2, 0, c);
  MD5_LANES_STORE(3, 0, d);
  MD5_LANES_STORE(0, 8, a_hi);
  MD5_LANES_STORE(1, 8, b_hi);
  MD5_LANES_STORE(2, 8, c_hi);
  MD5_LANES_STORE(3, 8, d_hi);
#undef MD5_LANES_STORE
}

// blocks_avx2 for sixteen lanes: lanes 0-7 and 8-15 are transposed as two
// tiles and joined into one register per word.
MD5_LANES_AVX512 void blocks_avx512(const std::uint8_t* const* p, std::size_t blocks,
                                    std::uint32_t (*state)[kMaxLanes]) {
  __m512i a = _mm512_loadu_si512(state[0]);
  __m512i b = _mm512_loadu_si512(state[1]);
  __m512i c = _mm512_loadu_si512(state[2]);
  __m512i d = _mm512_loadu_si512(state[3]);
  for (std::size_t offset = 0; blocks != 0; --blocks, offset += 64) {
    __m256i low[16];
    __m256i high[16];
    avx2_transpose_16(p, offset, low, high);
    __m512i x[16];
#pragma GCC unroll 16
    for (int w = 0; w < 16; ++w) {
      x[w] = _mm512_inserti64x4(_mm512_castsi256_si512(low[w]), high[w], 1);
    }
    const __m512i a0 = a, b0 = b, c0 = c, d0 = d;
    MD5_ALL_STEPS(MD5_LANES_STEP_AVX512)
    a = _mm512_add_epi32(a, a0);
    b = _mm512_add_epi32(b, b0);
    c = _mm512_add_epi32(c, c0);
    d = _mm512_add_epi32(d, d0);
  }
  _mm512_storeu_si512(state[0], a);
  _mm512_storeu_si512(state[1], b);
  _mm512_storeu_si512(state[2], c);
  _mm512_storeu_si512(state[3], d);
}

#pragma GCC diagnostic pop

}  // namespace

bool cpu_has(Md5Lanes lanes) {
  switch (lanes) {
    case Md5Lanes::kScalar:
      return true;
    case Md5Lanes::kAvx2:
      __builtin_cpu_init();  // may run before the constructors that would do it
      return __builtin_cpu_supports("avx2");
    case Md5Lanes::kAvx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  }
  return false;
}

BlocksFunction lane_kernel(Md5Lanes lanes) {
  switch (lanes) {
    case Md5Lanes::kScalar:
      return nullptr;
    case Md5Lanes::kAvx2:
      return blocks_avx2;
    case Md5Lanes::kAvx512:
      return blocks_avx512;
  }
  return nullptr;
}

BlocksFunction avx2_pair_kernel() { return cpu_has(Md5Lanes::kAvx2) ? blocks_avx2_pair : nullptr; }

}  // namespace md5_detail
