// What a compare does on a served disk: read a range, with the bytes that
// cannot be read counted as zero, and pick the digest that answers it.
// Free functions without state of their own; any thread, concurrently (each
// thread reads through its own buffer).
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/hash_combiner.h"
#include "digest/md5.h"
#include "server/disk_io.h"
#include "server/status.h"

// Compare reads through a buffer of this size, one per thread, so that no
// call allocates in proportion to what the peer asked for. One chunk of
// trvc's is read, and hashed or found zero, in one piece.
inline constexpr std::size_t kReadPiece = kChunkLength;

// The O_DIRECT descriptor of a disk, which compare reads go through when
// the page cache does not hold the range, and the block size its offsets and
// lengths are multiples of. Reads that pass the page cache leave it to the
// rest of the system, and on a disk the server wrote past the cache, nothing
// of the disk is cached anyway: a buffered read would bring every page in,
// only to copy it out once. What the cache does hold (a file just copied in,
// a disk read by others) is taken from it, which is cheaper than the device.
struct DirectReads {
  int fd = -1;  // -1: read through the page cache only
  std::size_t block = 4096;
};

// Reads the `length` bytes at `offset` of `fd` into `buffer`. Bytes at or
// past `end`, and past the end of the file, are zero in `buffer`: on a
// fixed-size disk they can never be written, and a padded last chunk was
// written with zeros there. A read the kernel cuts short is continued and an
// interrupted one made again; any other failure is ReadFailed, and what
// `buffer` holds then is unspecified. When `direct` names a descriptor and
// the offset, the length and `buffer` are aligned, the bytes are read
// through it, after what the page cache holds of the range at its start has
// been taken from `fd` without waiting for the device (RWF_NOWAIT); a read
// the kernel refuses there (EINVAL), and whatever a short direct read leaves,
// go through `fd`. `*uncached` (when given) says whether the page cache
// lacked part of a range it was asked for, so that the device was waited
// for; without `direct` it is never asked, and stays false.
Status read_zero_filled(DiskIo& io, int fd, DirectReads direct, std::int64_t offset,
                        std::size_t length, std::int64_t end, std::uint8_t* buffer,
                        bool* uncached = nullptr);

// The digest of the `length` bytes at `data`, which the caller has found
// all zero or not (`zero`): the known digest for a chunk of zeros of
// kChunkLength bytes, otherwise the combiner's, so that chunks arriving
// together on other connections share its lanes.
void chunk_digest(HashCombiner& hasher, const std::uint8_t* data, std::size_t length, bool zero,
                  std::uint8_t (&out)[kDigestLength]);

// The first byte of a range that is not zero, and where it lies.
struct FirstNonZero {
  bool found = false;
  std::int64_t position = 0;
  std::uint8_t value = 0;
};

// Sets *first to the first non-zero byte of the `length` bytes at `data`,
// which lie at `offset` of the disk; leaves it when there is none.
void find_first_non_zero(const std::uint8_t* data, std::size_t length, std::int64_t offset,
                         FirstNonZero* first);

// Whether a compare may give an open's probe its byte, and the count of the
// open's writes when it was asked (see DiskStore::probe_offer).
struct ProbeOffer {
  bool wanted = false;
  std::uint64_t writes_started = 0;
};

// The digest that answers a compare of the `length` bytes (1..any) at
// `offset`, read as read_zero_filled reads them: a range of one piece
// through chunk_digest, a longer one piece by piece through one MD5. When
// `first` is given, it is set to the range's first non-zero byte (found
// false when there is none). OutOfMemory when the thread's read buffer
// cannot be had.
Status range_digest(DiskIo& io, HashCombiner& hasher, int fd, DirectReads direct,
                    std::int64_t offset, std::int64_t length, std::int64_t end,
                    std::uint8_t (&out)[kDigestLength], FirstNonZero* first = nullptr);
