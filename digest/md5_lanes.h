// MD5 of several independent messages at once, one message per 32-bit lane
// of a vector register, so that a core hashes many chunks in the time the
// scalar engine's dependency chain needs for one. The functions keep no
// state and may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5.h"

// The instruction sets md5_many can use. Which ones the CPU has is found at
// run time; the program itself is built for the plain baseline of its target.
// A build without the vector kernels (TRV_DIGEST_LANES=OFF, the default off
// x86-64) supports kScalar alone.
enum class Md5Lanes { kScalar, kAvx2, kAvx512 };

// True when this build and this CPU can run `lanes` (kScalar always can).
bool md5_lanes_supported(Md5Lanes lanes);
// The widest instruction set this CPU supports.
Md5Lanes md5_lanes_best();
// How many messages one vector of `lanes` holds: 1, 8 or 16 (AVX2 may run
// two such vectors side by side; md5_many_group).
std::size_t md5_lane_width(Md5Lanes lanes);
// "scalar", "avx2" or "avx512", for logs, tests and measurements.
const char* md5_lanes_name(Md5Lanes lanes);

// Writes the digest of the `lengths[i]` bytes at `data[i]` to `digests[i]`
// for every i below `count`, exactly as md5_init/md5_update/md5_final would.
// Messages go through the widest supported lanes in groups; lanes advance
// together over the whole blocks they have in common and each message's
// remainder and padding is finished by the scalar engine, so messages of
// equal length gain the most. Data needs no alignment.
void md5_many(const std::uint8_t* const* data, const std::size_t* lengths,
              std::uint8_t (*digests)[kDigestLength], std::size_t count);

// How many messages md5_many hashes together at most: sixteen with vector
// lanes (AVX2 runs two sets of eight side by side), four (the interleaved
// rounds) without.
std::size_t md5_many_group();

// md5_many restricted to `lanes`, which must be supported (lanes this build
// lacks fall back to the scalar engine); for tests and measurements. A lone
// message is hashed by the scalar engine whatever `lanes` says.
void md5_many_using(Md5Lanes lanes, const std::uint8_t* const* data, const std::size_t* lengths,
                    std::uint8_t (*digests)[kDigestLength], std::size_t count);
