// Multi-lane MD5: the rounds run on vectors whose 32-bit lanes hold the
// chaining words of different messages, and each block's message words are
// brought into the same layout by transposing 8x8 tiles of dwords. The vector
// code is compiled for its instruction set alone and chosen at run time.
#include "server/md5_lanes.h"

// GCC 12's AVX-512 intrinsics start from a deliberately undefined vector,
// which its flow analysis reports as uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "engine/md5.h"

namespace {

constexpr std::uint32_t kInitial[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
constexpr std::size_t kMaxLanes = 16;

// All 64 steps of one block, as (round, a, b, c, d, word, constant, shift).
#define MD5_LANES_ALL_STEPS(STEP)          \
  STEP(F, a, b, c, d, 0, 0xd76aa478u, 7)   \
  STEP(F, d, a, b, c, 1, 0xe8c7b756u, 12)  \
  STEP(F, c, d, a, b, 2, 0x242070dbu, 17)  \
  STEP(F, b, c, d, a, 3, 0xc1bdceeeu, 22)  \
  STEP(F, a, b, c, d, 4, 0xf57c0fafu, 7)   \
  STEP(F, d, a, b, c, 5, 0x4787c62au, 12)  \
  STEP(F, c, d, a, b, 6, 0xa8304613u, 17)  \
  STEP(F, b, c, d, a, 7, 0xfd469501u, 22)  \
  STEP(F, a, b, c, d, 8, 0x698098d8u, 7)   \
  STEP(F, d, a, b, c, 9, 0x8b44f7afu, 12)  \
  STEP(F, c, d, a, b, 10, 0xffff5bb1u, 17) \
  STEP(F, b, c, d, a, 11, 0x895cd7beu, 22) \
  STEP(F, a, b, c, d, 12, 0x6b901122u, 7)  \
  STEP(F, d, a, b, c, 13, 0xfd987193u, 12) \
  STEP(F, c, d, a, b, 14, 0xa679438eu, 17) \
  STEP(F, b, c, d, a, 15, 0x49b40821u, 22) \
  STEP(G, a, b, c, d, 1, 0xf61e2562u, 5)   \
  STEP(G, d, a, b, c, 6, 0xc040b340u, 9)   \
  STEP(G, c, d, a, b, 11, 0x265e5a51u, 14) \
  STEP(G, b, c, d, a, 0, 0xe9b6c7aau, 20)  \
  STEP(G, a, b, c, d, 5, 0xd62f105du, 5)   \
  STEP(G, d, a, b, c, 10, 0x02441453u, 9)  \
  STEP(G, c, d, a, b, 15, 0xd8a1e681u, 14) \
  STEP(G, b, c, d, a, 4, 0xe7d3fbc8u, 20)  \
  STEP(G, a, b, c, d, 9, 0x21e1cde6u, 5)   \
  STEP(G, d, a, b, c, 14, 0xc33707d6u, 9)  \
  STEP(G, c, d, a, b, 3, 0xf4d50d87u, 14)  \
  STEP(G, b, c, d, a, 8, 0x455a14edu, 20)  \
  STEP(G, a, b, c, d, 13, 0xa9e3e905u, 5)  \
  STEP(G, d, a, b, c, 2, 0xfcefa3f8u, 9)   \
  STEP(G, c, d, a, b, 7, 0x676f02d9u, 14)  \
  STEP(G, b, c, d, a, 12, 0x8d2a4c8au, 20) \
  STEP(H, a, b, c, d, 5, 0xfffa3942u, 4)   \
  STEP(H, d, a, b, c, 8, 0x8771f681u, 11)  \
  STEP(H, c, d, a, b, 11, 0x6d9d6122u, 16) \
  STEP(H, b, c, d, a, 14, 0xfde5380cu, 23) \
  STEP(H, a, b, c, d, 1, 0xa4beea44u, 4)   \
  STEP(H, d, a, b, c, 4, 0x4bdecfa9u, 11)  \
  STEP(H, c, d, a, b, 7, 0xf6bb4b60u, 16)  \
  STEP(H, b, c, d, a, 10, 0xbebfbc70u, 23) \
  STEP(H, a, b, c, d, 13, 0x289b7ec6u, 4)  \
  STEP(H, d, a, b, c, 0, 0xeaa127fau, 11)  \
  STEP(H, c, d, a, b, 3, 0xd4ef3085u, 16)  \
  STEP(H, b, c, d, a, 6, 0x04881d05u, 23)  \
  STEP(H, a, b, c, d, 9, 0xd9d4d039u, 4)   \
  STEP(H, d, a, b, c, 12, 0xe6db99e5u, 11) \
  STEP(H, c, d, a, b, 15, 0x1fa27cf8u, 16) \
  STEP(H, b, c, d, a, 2, 0xc4ac5665u, 23)  \
  STEP(I, a, b, c, d, 0, 0xf4292244u, 6)   \
  STEP(I, d, a, b, c, 7, 0x432aff97u, 10)  \
  STEP(I, c, d, a, b, 14, 0xab9423a7u, 15) \
  STEP(I, b, c, d, a, 5, 0xfc93a039u, 21)  \
  STEP(I, a, b, c, d, 12, 0x655b59c3u, 6)  \
  STEP(I, d, a, b, c, 3, 0x8f0ccc92u, 10)  \
  STEP(I, c, d, a, b, 10, 0xffeff47du, 15) \
  STEP(I, b, c, d, a, 1, 0x85845dd1u, 21)  \
  STEP(I, a, b, c, d, 8, 0x6fa87e4fu, 6)   \
  STEP(I, d, a, b, c, 15, 0xfe2ce6e0u, 10) \
  STEP(I, c, d, a, b, 6, 0xa3014314u, 15)  \
  STEP(I, b, c, d, a, 13, 0x4e0811a1u, 21) \
  STEP(I, a, b, c, d, 4, 0xf7537e82u, 6)   \
  STEP(I, d, a, b, c, 11, 0xbd3af235u, 10) \
  STEP(I, c, d, a, b, 2, 0x2ad7d2bbu, 15)  \
  STEP(I, b, c, d, a, 9, 0xeb86d391u, 21)

#define MD5_LANES_STEP_AVX2(fn, a, b, c, d, i, k, s)                          \
  a = _mm256_add_epi32(a, _mm256_add_epi32(x[i], _mm256_set1_epi32(int(k)))); \
  a = _mm256_add_epi32(a, avx2_##fn(b, c, d));                                \
  a = _mm256_add_epi32(avx2_rotl(a, s), b);

#define MD5_LANES_STEP_AVX512(fn, a, b, c, d, i, k, s)                        \
  a = _mm512_add_epi32(a, _mm512_add_epi32(x[i], _mm512_set1_epi32(int(k)))); \
  a = _mm512_add_epi32(a, avx512_##fn(b, c, d));                              \
  a = _mm512_add_epi32(_mm512_rol_epi32(a, s), b);

#define MD5_LANES_AVX2 __attribute__((target("avx2")))
#define MD5_LANES_AVX512 __attribute__((target("avx512f,avx512vl")))
#define MD5_LANES_INLINE inline __attribute__((always_inline))

MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_rotl(__m256i v, int s) {
  return _mm256_or_si256(_mm256_slli_epi32(v, s), _mm256_srli_epi32(v, 32 - s));
}
// d ^ (b & (c ^ d))
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_F(__m256i b, __m256i c, __m256i d) {
  return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
// c ^ (d & (b ^ c)): takes b where d is set and c elsewhere.
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_G(__m256i b, __m256i c, __m256i d) {
  return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
}
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_H(__m256i b, __m256i c, __m256i d) {
  return _mm256_xor_si256(_mm256_xor_si256(c, d), b);
}
// c ^ (b | ~d) == ~(c ^ (~b & d)); AVX2 has no plain "not".
MD5_LANES_AVX2 MD5_LANES_INLINE __m256i avx2_I(__m256i b, __m256i c, __m256i d) {
  return _mm256_xor_si256(_mm256_xor_si256(c, _mm256_andnot_si256(b, d)), _mm256_set1_epi32(-1));
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
    MD5_LANES_ALL_STEPS(MD5_LANES_STEP_AVX2)
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
    avx2_transpose(p, offset, low);
    avx2_transpose(p, offset + 32, low + 8);
    avx2_transpose(p + 8, offset, high);
    avx2_transpose(p + 8, offset + 32, high + 8);
    __m512i x[16];
#pragma GCC unroll 16
    for (int w = 0; w < 16; ++w) {
      x[w] = _mm512_inserti64x4(_mm512_castsi256_si512(low[w]), high[w], 1);
    }
    const __m512i a0 = a, b0 = b, c0 = c, d0 = d;
    MD5_LANES_ALL_STEPS(MD5_LANES_STEP_AVX512)
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

using BlocksFunction = void (*)(const std::uint8_t* const*, std::size_t,
                                std::uint32_t (*)[kMaxLanes]);

// Finishes a message whose first `consumed` bytes (a multiple of 64) are
// already in the chaining words `chain`.
void finish_scalar(const std::uint32_t (&chain)[4], const std::uint8_t* data, std::size_t length,
                   std::size_t consumed, std::uint8_t* digest) {
  Md5Context context;
  md5_init(&context);
  context.count_low = static_cast<std::uint32_t>(consumed & ((1u << 29) - 1));
  context.count_high = static_cast<std::uint32_t>(consumed >> 29);
  context.a = chain[0];
  context.b = chain[1];
  context.c = chain[2];
  context.d = chain[3];
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
                const std::size_t* lengths, std::uint8_t (*digests)[16], std::size_t count) {
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

bool md5_lanes_supported(Md5Lanes lanes) {
  switch (lanes) {
    case Md5Lanes::kScalar:
      return true;
    case Md5Lanes::kAvx2:
      return __builtin_cpu_supports("avx2");
    case Md5Lanes::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  }
  return false;
}

Md5Lanes md5_lanes_best() {
  static const Md5Lanes best = md5_lanes_supported(Md5Lanes::kAvx512) ? Md5Lanes::kAvx512
                               : md5_lanes_supported(Md5Lanes::kAvx2) ? Md5Lanes::kAvx2
                                                                      : Md5Lanes::kScalar;
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

void md5_many_using(Md5Lanes lanes, const std::uint8_t* const* data, const std::size_t* lengths,
                    std::uint8_t (*digests)[16], std::size_t count) {
  // A lane pass costs about as much as hashing one message alone times the
  // latency of a vector operation over that of a scalar one (two on the
  // cores this runs on), so a few messages are cheaper one after another.
  // Sixteen lanes cost no more than eight where 512-bit operations run at
  // full width, and vpternlogd and vprold shorten each step, so AVX-512
  // always runs all sixteen.
  const std::size_t width = md5_lane_width(lanes);
  const std::size_t fewest = lanes == Md5Lanes::kAvx512 ? 3 : 4;
  std::size_t start = 0;
  while (start < count) {
    const std::size_t n = std::min(width, count - start);
    if (n < fewest) {
      for (std::size_t i = start; i < start + n; ++i) {
        finish_scalar({kInitial[0], kInitial[1], kInitial[2], kInitial[3]}, data[i], lengths[i], 0,
                      digests[i]);
      }
    } else {
      hash_group(lanes == Md5Lanes::kAvx512 ? blocks_avx512 : blocks_avx2, width, data + start,
                 lengths + start, digests + start, n);
    }
    start += n;
  }
}

void md5_many(const std::uint8_t* const* data, const std::size_t* lengths,
              std::uint8_t (*digests)[16], std::size_t count) {
  md5_many_using(md5_lanes_best(), data, lengths, digests, count);
}
