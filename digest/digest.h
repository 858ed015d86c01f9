// The digest library's public surface: the MD5 of RFC 1321 that every chunk
// carries, for one buffer, for many buffers at once in vector lanes, and
// through a combiner that lets threads hashing one buffer each share the
// lanes. Everything here may run on any number of threads at once; an
// Md5Context belongs to the one thread that computes with it.
//
//   md5_digest(data, length, out)             one buffer
//   md5_init / md5_update / md5_final         one message given in pieces
//   md5_many(data, lengths, digests, count)   many buffers in the widest lanes
//   HashCombiner::digest(data, length, out)   one buffer per thread, hashed
//                                             together with other threads'
//   is_all_zero, kZeroChunkDigest             the zero-chunk shortcut
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/hash_combiner.h"
#include "digest/md5.h"
#include "digest/md5_lanes.h"

// Writes the digest of the `length` bytes at `data` to `out`; `data` may be
// null when `length` is 0. Any length, including more than 4 GiB.
void md5_digest(const std::uint8_t* data, std::size_t length, std::uint8_t out[kDigestLength]);
