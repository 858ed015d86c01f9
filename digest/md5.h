// The MD5 message digest of RFC 1321 that every chunk carries to the server,
// and the zero-chunk helpers built on it. A context belongs to the one thread
// that computes with it; the functions keep no other state and may run on any
// number of threads at once. Callers include digest/digest.h. Only this
// library writes a context's fields.
#pragma once

#include <cstddef>
#include <cstdint>

// An MD5 digest is this many bytes.
inline constexpr std::size_t kDigestLength = 16;
// The length of the chunks trvc reads and sends, 1 MiB, and of the zero
// chunk whose digest is below.
inline constexpr std::size_t kChunkLength = 1048576;

struct Md5Context {
  // The message length in bytes, split so that count_low * 8 still fits in
  // 32 bits when the length in bits is formed: count_low is the count modulo
  // 2^29, count_high the count divided by 2^29.
  std::uint32_t count_low;
  std::uint32_t count_high;
  // The chaining words.
  std::uint32_t a;
  std::uint32_t b;
  std::uint32_t c;
  std::uint32_t d;
  // Bytes of a block that is not yet complete: count_low % 64 of them.
  std::uint8_t buffer[64];
  // The block being processed, decoded little-endian.
  std::uint32_t words[16];
};

// Sets the count to zero and the chaining words to their initial values.
void md5_init(Md5Context* context);
// Adds `length` bytes to the message. Pieces of any size may follow one
// another; the digest is that of the pieces joined. Whole blocks are hashed
// straight from `data`, only a partial block is kept in the context.
void md5_update(Md5Context* context, const std::uint8_t* data, std::uint32_t length);
// Pads the message, writes its digest to `out` and then clears the whole
// context to zero bytes. The context needs md5_init before reuse.
void md5_final(std::uint8_t out[kDigestLength], Md5Context* context);

// True when every one of the `length` bytes at `data` is zero; every byte is
// looked at. `data` needs no particular alignment.
bool is_all_zero(const std::uint8_t* data, std::size_t length);

// The digest of a chunk of kChunkLength zero bytes.
extern const std::uint8_t kZeroChunkDigest[kDigestLength];
