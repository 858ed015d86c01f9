// Reading a served disk for compare. The buffer is the calling thread's own,
// aligned for direct reads, and lives as long as the thread.
#include "server/disk_read.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "digest/digest.h"
#include "server/aligned_memory.h"

namespace {

// Null when the memory cannot be had (tried again by the next call).
std::uint8_t* read_buffer() {
  thread_local AlignedBuffer buffer;
  if (!buffer) buffer = allocate_aligned(kReadPiece);
  return buffer.get();
}

// Reads what the page cache holds of the `wanted` bytes at `offset`, from
// their start, without waiting for the device, and returns how many it got;
// *at_end when it met the end of the file. Any failure (EAGAIN: not cached;
// EOPNOTSUPP: cannot tell) only means that the rest is read otherwise; a
// real fault shows there.
std::size_t read_cached(DiskIo& io, int fd, std::int64_t offset, std::size_t wanted,
                        std::uint8_t* buffer, bool* at_end) {
  std::size_t got = 0;
  while (got < wanted) {
    const ssize_t n =
        io.pread_nowait(fd, buffer + got, wanted - got, static_cast<off_t>(offset) + got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) {
      *at_end = true;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// Reads what it can of the `wanted` bytes at `offset` through the direct
// descriptor, whole blocks at a time into `buffer` (which holds `length`
// bytes), and returns how many of the wanted bytes it has. It stops, for the
// buffered read to go on from there, at a refusal, at a short read that
// leaves the position unaligned, and at the end of the file.
std::size_t read_direct(DiskIo& io, DirectReads direct, std::int64_t offset, std::size_t wanted,
                        std::size_t length, std::uint8_t* buffer, int* error) {
  const std::size_t block = direct.block;
  if (direct.fd < 0 || block == 0 || static_cast<std::uint64_t>(offset) % block != 0 ||
      reinterpret_cast<std::uintptr_t>(buffer) % kDirectMemoryAlignment != 0) {
    return 0;
  }
  // The last block may reach past what is wanted, never past the buffer.
  const std::size_t rounded = (wanted + block - 1) / block * block;
  if (rounded > length) return 0;
  std::size_t got = 0;
  while (got < wanted && got % block == 0) {
    const ssize_t n =
        io.pread(direct.fd, buffer + got, rounded - got, offset + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EINVAL) *error = errno;
      break;
    }
    if (n == 0) break;  // the end of the file
    got += static_cast<std::size_t>(n);
  }
  return std::min(got, wanted);
}

}  // namespace

void find_first_non_zero(const std::uint8_t* data, std::size_t length, std::int64_t offset,
                         FirstNonZero* first) {
  const std::uint8_t* found =
      std::find_if(data, data + length, [](std::uint8_t byte) { return byte != 0; });
  if (found == data + length) return;
  first->found = true;
  first->position = offset + (found - data);
  first->value = *found;
}

Status read_zero_filled(DiskIo& io, int fd, DirectReads direct, std::int64_t offset,
                        std::size_t length, std::int64_t end, std::uint8_t* buffer,
                        bool* uncached) {
  const std::size_t wanted = offset >= end ? 0
                                           : static_cast<std::size_t>(std::min<std::int64_t>(
                                                 end - offset, static_cast<std::int64_t>(length)));
  int error = 0;
  std::size_t got = 0;
  bool at_end = false;
  if (uncached) *uncached = false;
  if (wanted > 0 && direct.fd >= 0) {
    got = read_cached(io, fd, offset, wanted, buffer, &at_end);
    if (uncached) *uncached = got < wanted && !at_end;
    if (got < wanted && !at_end) {
      // The device gives the rest, from the last position that suits a
      // direct read (the file's block and the buffer's alignment).
      const std::size_t step = std::max(direct.block, kDirectMemoryAlignment);
      const std::size_t from = got / step * step;
      got = std::max(got, from + read_direct(io, direct, offset + static_cast<std::int64_t>(from),
                                             wanted - from, length - from, buffer + from, &error));
    }
  }
  if (error != 0) return Status::failure(ReadFailed, describe_errno("pread", error));
  while (got < wanted && !at_end) {
    const ssize_t n = io.pread(fd, buffer + got, wanted - got, offset + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::failure(ReadFailed, describe_errno("pread", errno));
    }
    if (n == 0) break;  // the end of the file
    got += static_cast<std::size_t>(n);
  }
  std::memset(buffer + got, 0, length - got);
  return Status::ok();
}

void chunk_digest(HashCombiner& hasher, const std::uint8_t* data, std::size_t length, bool zero,
                  std::uint8_t (&out)[kDigestLength]) {
  // Unwritten parts of an image are common and their digest is known.
  if (zero && length == kChunkLength) {
    std::memcpy(out, kZeroChunkDigest, kDigestLength);
    return;
  }
  hasher.digest(data, length, out);
}

Status range_digest(DiskIo& io, HashCombiner& hasher, int fd, DirectReads direct,
                    std::int64_t offset, std::int64_t length, std::int64_t end,
                    std::uint8_t (&out)[kDigestLength], FirstNonZero* first) {
  std::uint8_t* buffer = read_buffer();
  if (buffer == nullptr) return Status::failure(OutOfMemory, "no memory for the read buffer");
  if (first) *first = FirstNonZero{};
  if (length <= static_cast<std::int64_t>(kReadPiece)) {
    const auto size = static_cast<std::size_t>(length);
    if (Status status = read_zero_filled(io, fd, direct, offset, size, end, buffer);
        !status.is_ok()) {
      return status;
    }
    const bool zero = size == kChunkLength && is_all_zero(buffer, size);
    chunk_digest(hasher, buffer, size, zero, out);
    if (first && !zero) find_first_non_zero(buffer, size, offset, first);
    return Status::ok();
  }
  Md5Context context;
  md5_init(&context);
  for (std::int64_t done = 0; done < length;) {
    const auto piece = static_cast<std::size_t>(
        std::min<std::int64_t>(length - done, static_cast<std::int64_t>(kReadPiece)));
    if (Status status = read_zero_filled(io, fd, direct, offset + done, piece, end, buffer);
        !status.is_ok()) {
      return status;
    }
    if (first && !first->found) find_first_non_zero(buffer, piece, offset + done, first);
    md5_update(&context, buffer, static_cast<std::uint32_t>(piece));
    done += static_cast<std::int64_t>(piece);
  }
  md5_final(out, &context);
  return Status::ok();
}
