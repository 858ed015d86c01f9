// MD5 as RFC 1321 defines it. This is the client's hottest loop: every byte
// of the disk passes through process_blocks, so the rounds are unrolled with
// their constants inline and the round functions are arranged so that as
// little as possible waits for the previous step's result.
#include "engine/md5.h"

#include <bit>
#include <cstring>

namespace {

constexpr std::uint32_t kInitialA = 0x67452301u;
constexpr std::uint32_t kInitialB = 0xefcdab89u;
constexpr std::uint32_t kInitialC = 0x98badcfeu;
constexpr std::uint32_t kInitialD = 0x10325476u;

// The count is kept modulo 2^29 in count_low; 2^29 is a multiple of 64, so
// count_low % 64 is also the fill of the partial block.
constexpr std::uint32_t kCountLowMask = (1u << 29) - 1;

inline std::uint32_t load_le32(const std::uint8_t* p) {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = (word >> 24) | ((word >> 8) & 0xff00u) | ((word << 8) & 0xff0000u) | (word << 24);
  } else {
    static_assert(std::endian::native == std::endian::little,
                  "mixed-endian hosts are not supported");
  }
  return word;
}

inline void store_le32(std::uint8_t* p, std::uint32_t word) {
  p[0] = static_cast<std::uint8_t>(word);
  p[1] = static_cast<std::uint8_t>(word >> 8);
  p[2] = static_cast<std::uint8_t>(word >> 16);
  p[3] = static_cast<std::uint8_t>(word >> 24);
}

// Each step adds the message word and the constant first: that sum does not
// depend on the previous step, so only the round function, one addition, the
// rotation and the final addition of b lie on the chain from step to step.
//
// F(b,c,d) = (b & c) | (~b & d), written as d ^ (b & (c ^ d)).
// G(b,c,d) = (b & d) | (c & ~d): the two terms never share a set bit, so they
//   can be added one at a time, and c & ~d is ready before b is.
// H(b,c,d) = b ^ c ^ d, with c ^ d formed before b arrives.
// I(b,c,d) = c ^ (b | ~d), with ~d formed before b arrives.
#define MD5_F(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  a += (d) ^ ((b) & ((c) ^ (d)));  \
  a = std::rotl(a, s) + (b)

#define MD5_G(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  a += (c) & ~(d);                 \
  a += (b) & (d);                  \
  a = std::rotl(a, s) + (b)

#define MD5_H(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  a += ((c) ^ (d)) ^ (b);          \
  a = std::rotl(a, s) + (b)

#define MD5_I(a, b, c, d, m, k, s) \
  a += (m) + (k);                  \
  a += (c) ^ ((b) | ~(d));         \
  a = std::rotl(a, s) + (b)

// Hashes `count` whole blocks at `data` into the chaining words, decoding
// each block into context->words first. The chaining words stay in registers
// across the blocks.
void process_blocks(Md5Context* context, const std::uint8_t* data, std::size_t count) {
  std::uint32_t a = context->a;
  std::uint32_t b = context->b;
  std::uint32_t c = context->c;
  std::uint32_t d = context->d;
  std::uint32_t* const x = context->words;

  for (; count != 0; --count, data += 64) {
    for (int i = 0; i < 16; ++i) x[i] = load_le32(data + 4 * i);

    const std::uint32_t a0 = a;
    const std::uint32_t b0 = b;
    const std::uint32_t c0 = c;
    const std::uint32_t d0 = d;

    MD5_F(a, b, c, d, x[0], 0xd76aa478u, 7);
    MD5_F(d, a, b, c, x[1], 0xe8c7b756u, 12);
    MD5_F(c, d, a, b, x[2], 0x242070dbu, 17);
    MD5_F(b, c, d, a, x[3], 0xc1bdceeeu, 22);
    MD5_F(a, b, c, d, x[4], 0xf57c0fafu, 7);
    MD5_F(d, a, b, c, x[5], 0x4787c62au, 12);
    MD5_F(c, d, a, b, x[6], 0xa8304613u, 17);
    MD5_F(b, c, d, a, x[7], 0xfd469501u, 22);
    MD5_F(a, b, c, d, x[8], 0x698098d8u, 7);
    MD5_F(d, a, b, c, x[9], 0x8b44f7afu, 12);
    MD5_F(c, d, a, b, x[10], 0xffff5bb1u, 17);
    MD5_F(b, c, d, a, x[11], 0x895cd7beu, 22);
    MD5_F(a, b, c, d, x[12], 0x6b901122u, 7);
    MD5_F(d, a, b, c, x[13], 0xfd987193u, 12);
    MD5_F(c, d, a, b, x[14], 0xa679438eu, 17);
    MD5_F(b, c, d, a, x[15], 0x49b40821u, 22);

    MD5_G(a, b, c, d, x[1], 0xf61e2562u, 5);
    MD5_G(d, a, b, c, x[6], 0xc040b340u, 9);
    MD5_G(c, d, a, b, x[11], 0x265e5a51u, 14);
    MD5_G(b, c, d, a, x[0], 0xe9b6c7aau, 20);
    MD5_G(a, b, c, d, x[5], 0xd62f105du, 5);
    MD5_G(d, a, b, c, x[10], 0x02441453u, 9);
    MD5_G(c, d, a, b, x[15], 0xd8a1e681u, 14);
    MD5_G(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
    MD5_G(a, b, c, d, x[9], 0x21e1cde6u, 5);
    MD5_G(d, a, b, c, x[14], 0xc33707d6u, 9);
    MD5_G(c, d, a, b, x[3], 0xf4d50d87u, 14);
    MD5_G(b, c, d, a, x[8], 0x455a14edu, 20);
    MD5_G(a, b, c, d, x[13], 0xa9e3e905u, 5);
    MD5_G(d, a, b, c, x[2], 0xfcefa3f8u, 9);
    MD5_G(c, d, a, b, x[7], 0x676f02d9u, 14);
    MD5_G(b, c, d, a, x[12], 0x8d2a4c8au, 20);

    MD5_H(a, b, c, d, x[5], 0xfffa3942u, 4);
    MD5_H(d, a, b, c, x[8], 0x8771f681u, 11);
    MD5_H(c, d, a, b, x[11], 0x6d9d6122u, 16);
    MD5_H(b, c, d, a, x[14], 0xfde5380cu, 23);
    MD5_H(a, b, c, d, x[1], 0xa4beea44u, 4);
    MD5_H(d, a, b, c, x[4], 0x4bdecfa9u, 11);
    MD5_H(c, d, a, b, x[7], 0xf6bb4b60u, 16);
    MD5_H(b, c, d, a, x[10], 0xbebfbc70u, 23);
    MD5_H(a, b, c, d, x[13], 0x289b7ec6u, 4);
    MD5_H(d, a, b, c, x[0], 0xeaa127fau, 11);
    MD5_H(c, d, a, b, x[3], 0xd4ef3085u, 16);
    MD5_H(b, c, d, a, x[6], 0x04881d05u, 23);
    MD5_H(a, b, c, d, x[9], 0xd9d4d039u, 4);
    MD5_H(d, a, b, c, x[12], 0xe6db99e5u, 11);
    MD5_H(c, d, a, b, x[15], 0x1fa27cf8u, 16);
    MD5_H(b, c, d, a, x[2], 0xc4ac5665u, 23);

    MD5_I(a, b, c, d, x[0], 0xf4292244u, 6);
    MD5_I(d, a, b, c, x[7], 0x432aff97u, 10);
    MD5_I(c, d, a, b, x[14], 0xab9423a7u, 15);
    MD5_I(b, c, d, a, x[5], 0xfc93a039u, 21);
    MD5_I(a, b, c, d, x[12], 0x655b59c3u, 6);
    MD5_I(d, a, b, c, x[3], 0x8f0ccc92u, 10);
    MD5_I(c, d, a, b, x[10], 0xffeff47du, 15);
    MD5_I(b, c, d, a, x[1], 0x85845dd1u, 21);
    MD5_I(a, b, c, d, x[8], 0x6fa87e4fu, 6);
    MD5_I(d, a, b, c, x[15], 0xfe2ce6e0u, 10);
    MD5_I(c, d, a, b, x[6], 0xa3014314u, 15);
    MD5_I(b, c, d, a, x[13], 0x4e0811a1u, 21);
    MD5_I(a, b, c, d, x[4], 0xf7537e82u, 6);
    MD5_I(d, a, b, c, x[11], 0xbd3af235u, 10);
    MD5_I(c, d, a, b, x[2], 0x2ad7d2bbu, 15);
    MD5_I(b, c, d, a, x[9], 0xeb86d391u, 21);

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }

  context->a = a;
  context->b = b;
  context->c = c;
  context->d = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

}  // namespace

const std::uint8_t kZeroChunkDigest[16] = {0xb6, 0xd8, 0x1b, 0x36, 0x0a, 0x56, 0x72, 0xd8,
                                           0x0c, 0x27, 0x43, 0x0f, 0x39, 0x15, 0x3e, 0x2c};

void md5_init(Md5Context* context) {
  context->count_low = 0;
  context->count_high = 0;
  context->a = kInitialA;
  context->b = kInitialB;
  context->c = kInitialC;
  context->d = kInitialD;
}

void md5_update(Md5Context* context, const std::uint8_t* data, std::uint32_t length) {
  if (length == 0) return;  // `data` may then be null, which memcpy must not see
  const std::uint32_t pending = context->count_low & 63;

  const std::uint32_t low = context->count_low + (length & kCountLowMask);
  context->count_high += (length >> 29) + (low >> 29);
  context->count_low = low & kCountLowMask;

  if (pending != 0) {
    const std::uint32_t room = 64 - pending;
    if (length < room) {
      std::memcpy(context->buffer + pending, data, length);
      return;
    }
    std::memcpy(context->buffer + pending, data, room);
    process_blocks(context, context->buffer, 1);
    data += room;
    length -= room;
  }

  const std::uint32_t whole = length / 64;
  if (whole != 0) process_blocks(context, data, whole);
  const std::uint32_t tail = length % 64;
  if (tail != 0) std::memcpy(context->buffer, data + 64 * whole, tail);
}

void md5_final(std::uint8_t out[16], Md5Context* context) {
  std::uint32_t used = context->count_low & 63;
  context->buffer[used++] = 0x80;
  if (used > 56) {
    std::memset(context->buffer + used, 0, 64 - used);
    process_blocks(context, context->buffer, 1);
    used = 0;
  }
  std::memset(context->buffer + used, 0, 56 - used);
  store_le32(context->buffer + 56, context->count_low << 3);
  store_le32(context->buffer + 60, context->count_high);
  process_blocks(context, context->buffer, 1);

  store_le32(out, context->a);
  store_le32(out + 4, context->b);
  store_le32(out + 8, context->c);
  store_le32(out + 12, context->d);
  std::memset(context, 0, sizeof *context);
}

bool is_all_zero(const std::uint8_t* data, std::size_t length) {
  // Bytes up to the first 8-byte boundary, one at a time.
  while (length != 0 && reinterpret_cast<std::uintptr_t>(data) % 8 != 0) {
    if (*data != 0) return false;
    ++data;
    --length;
  }
  // 256 bytes per test: the OR over a run of words vectorises, and a
  // non-zero run ends the scan early.
  while (length >= 256) {
    std::uint64_t any = 0;
    for (int i = 0; i < 32; ++i) {
      std::uint64_t word;
      std::memcpy(&word, data + 8 * i, sizeof word);
      any |= word;
    }
    if (any != 0) return false;
    data += 256;
    length -= 256;
  }
  std::uint64_t any = 0;
  while (length >= 8) {
    std::uint64_t word;
    std::memcpy(&word, data, sizeof word);
    any |= word;
    data += 8;
    length -= 8;
  }
  while (length != 0) {
    any |= *data;
    ++data;
    --length;
  }
  return any == 0;
}
