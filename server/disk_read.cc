// Reading a served disk for compare. The buffer is the calling thread's own
// and lives as long as the thread.
#include "server/disk_read.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "digest/digest.h"

namespace {

std::uint8_t* read_buffer() {
  thread_local std::unique_ptr<std::uint8_t[]> buffer;
  if (!buffer) buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadPiece);
  return buffer.get();
}

}  // namespace

Status read_zero_filled(DiskIo& io, int fd, std::int64_t offset, std::size_t length,
                        std::int64_t end, std::uint8_t* buffer) {
  const std::size_t wanted = offset >= end ? 0
                                           : static_cast<std::size_t>(std::min<std::int64_t>(
                                                 end - offset, static_cast<std::int64_t>(length)));
  std::size_t got = 0;
  while (got < wanted) {
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

Status range_digest(DiskIo& io, HashCombiner& hasher, int fd, std::int64_t offset,
                    std::int64_t length, std::int64_t end, std::uint8_t (&out)[kDigestLength]) {
  std::uint8_t* buffer = read_buffer();
  if (length <= static_cast<std::int64_t>(kReadPiece)) {
    const auto size = static_cast<std::size_t>(length);
    if (Status status = read_zero_filled(io, fd, offset, size, end, buffer); !status.is_ok()) {
      return status;
    }
    chunk_digest(hasher, buffer, size, size == kChunkLength && is_all_zero(buffer, size), out);
    return Status::ok();
  }
  Md5Context context;
  md5_init(&context);
  for (std::int64_t done = 0; done < length;) {
    const auto piece = static_cast<std::size_t>(
        std::min<std::int64_t>(length - done, static_cast<std::int64_t>(kReadPiece)));
    if (Status status = read_zero_filled(io, fd, offset + done, piece, end, buffer);
        !status.is_ok()) {
      return status;
    }
    md5_update(&context, buffer, static_cast<std::uint32_t>(piece));
    done += static_cast<std::int64_t>(piece);
  }
  md5_final(out, &context);
  return Status::ok();
}
