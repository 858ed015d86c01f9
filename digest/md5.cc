// MD5 as RFC 1321 defines it. This is the client's hottest loop: every byte
// of the disk passes through process_blocks, so the 64 steps of md5_steps.h
// are unrolled with their constants inline and the round functions are
// arranged so that as little as possible waits for the previous step's
// result.
#include "digest/md5.h"

#include <bit>
#include <cstring>

#include "digest/digest.h"
#include "digest/md5_steps.h"

namespace {

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

#define MD5_SCALAR_STEP(fn, a, b, c, d, i, k, s) MD5_##fn(a, b, c, d, x[i], k, s);

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

    MD5_ALL_STEPS(MD5_SCALAR_STEP)

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

#undef MD5_SCALAR_STEP

}  // namespace

const std::uint8_t kZeroChunkDigest[kDigestLength] = {0xb6, 0xd8, 0x1b, 0x36, 0x0a, 0x56, 0x72, 0xd8,
                                           0x0c, 0x27, 0x43, 0x0f, 0x39, 0x15, 0x3e, 0x2c};

void md5_init(Md5Context* context) {
  context->count_low = 0;
  context->count_high = 0;
  context->a = md5_detail::kInitial[0];
  context->b = md5_detail::kInitial[1];
  context->c = md5_detail::kInitial[2];
  context->d = md5_detail::kInitial[3];
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

void md5_final(std::uint8_t out[kDigestLength], Md5Context* context) {
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

namespace md5_detail {

void md5_resume(Md5Context* context, const std::uint32_t (&chain)[4], std::size_t consumed) {
  context->count_low = static_cast<std::uint32_t>(consumed & kCountLowMask);
  context->count_high = static_cast<std::uint32_t>(consumed >> 29);
  context->a = chain[0];
  context->b = chain[1];
  context->c = chain[2];
  context->d = chain[3];
}

void md5_blocks(std::uint32_t (&chain)[4], const std::uint8_t* data, std::size_t blocks) {
  Md5Context context;
  md5_resume(&context, chain, 0);
  process_blocks(&context, data, blocks);
  chain[0] = context.a;
  chain[1] = context.b;
  chain[2] = context.c;
  chain[3] = context.d;
}

}  // namespace md5_detail

void md5_digest(const std::uint8_t* data, std::size_t length, std::uint8_t out[kDigestLength]) {
  Md5Context context;
  md5_init(&context);
  // md5_update takes 32-bit lengths; 2^30 keeps each piece whole blocks.
  while (length != 0) {
    const std::size_t piece = length < (std::size_t{1} << 30) ? length : std::size_t{1} << 30;
    md5_update(&context, data, static_cast<std::uint32_t>(piece));
    data += piece;
    length -= piece;
  }
  md5_final(out, &context);
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
