// The 64 steps of one MD5 block (RFC 1321, section 3.4), written once for
// every engine in this library: the scalar rounds and each vector width
// expand this list with their own STEP. Internal to digest/.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "digest/md5.h"

namespace md5_detail {

// The chaining words before the first block.
inline constexpr std::uint32_t kInitial[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Sets `context` up as if md5_update had already been given `consumed`
// bytes (a multiple of 64) that left the chaining words `chain`; the lanes
// use it to finish each message on the scalar engine.
void md5_resume(Md5Context* context, const std::uint32_t (&chain)[4], std::size_t consumed);

// Advances the chaining words `chain` over `blocks` whole 64-byte blocks at
// `data`: the scalar engine's part of a message that the lanes also work on.
void md5_blocks(std::uint32_t (&chain)[4], const std::uint8_t* data, std::size_t blocks);

}  // namespace md5_detail

// All 64 steps of one block, as STEP(round, a, b, c, d, word, constant, shift):
// round is F, G, H or I; a is the chaining word the step replaces, computed
// from b, c and d, message word `word` of the block, the additive constant
// and the left rotation.
#define MD5_ALL_STEPS(STEP)                \
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

// One step of round F, G, H or I on plain 32-bit words, for the scalar
// engines (md5.cc, md5_interleaved.cc).
// Each step adds the message word and the constant first: that sum does not
// depend on the previous step, so only the round function, one addition, the
// rotation and the final addition of b lie on the chain from step to step.
//
// F(b,c,d) = (b & c) | (~b & d), written as d ^ (b & (c ^ d)).
// G(b,c,d) = (b & d) | (c & ~d): the two terms never share a set bit, so they
//   can be added one at a time, and c & ~d is ready before b is.
// H(b,c,d) = b ^ c ^ d, with c ^ d formed before b arrives.
// I(b,c,d) = c ^ (b | ~d), with ~d formed before b arrives.
//
// Left to itself the compiler regroups the additions, adding the round
// function to the message word first, which puts one more addition on that
// chain (about 8% of a block). MD5_OPAQUE_WORD keeps `a` as it stands: an
// empty asm that the compiler must assume changes it, and that costs nothing.
#define MD5_OPAQUE_WORD(v) asm("" : "+r"(v))

#define MD5_F(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  MD5_OPAQUE_WORD(a);              \
  a += (d) ^ ((b) & ((c) ^ (d)));  \
  a = std::rotl(a, s) + (b)

#define MD5_G(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  a += (c) & ~(d);                 \
  MD5_OPAQUE_WORD(a);              \
  a += (b) & (d);                  \
  a = std::rotl(a, s) + (b)

#define MD5_H(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  MD5_OPAQUE_WORD(a);              \
  a += ((c) ^ (d)) ^ (b);          \
  a = std::rotl(a, s) + (b)

#define MD5_I(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  MD5_OPAQUE_WORD(a);              \
  a += (c) ^ ((b) | ~(d));         \
  a = std::rotl(a, s) + (b)
