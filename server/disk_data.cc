// The replicate and compare calls of the disk store: the checks of every
// request, the digest, the growable-image and fixed-size rules, the direct
// write and its flush, and the compare read. Runs on the connection threads,
// any number at once; the locks are those of disk_store.cc.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <shared_mutex>

#include "digest/digest.h"
#include "server/aligned_memory.h"
#include "server/disk_read.h"
#include "server/disk_store_internal.h"
#include "server/flush_gate.h"
#include "service/server_result.h"

namespace {

// Null if the memory cannot be had; the caller then writes buffered.
std::uint8_t* direct_buffer() {
  thread_local AlignedBuffer buffer;
  if (!buffer) buffer = allocate_aligned(kDirectPiece);
  return buffer.get();
}

bool same_digest(std::span<const std::uint8_t> sent,
                 const std::uint8_t (&computed)[kDigestLength]) {
  return sent.size() == kDigestLength && std::memcmp(sent.data(), computed, kDigestLength) == 0;
}

Status write_all(DiskIo& io, int fd, const std::uint8_t* data, std::size_t length,
                 std::int64_t offset) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = io.pwrite(fd, data + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return write_failure(WriteFailed, "pwrite", errno);
    }
    if (n == 0) return Status::failure(WriteFailed, "pwrite wrote nothing");
    done += static_cast<std::size_t>(n);
  }
  return Status::ok();
}

// Offset and length of a chunk: both in range and their sum representable.
Status check_extent(std::int64_t offset, std::int64_t length) {
  if (offset < 0) return Status::failure(BadArguments, "negative offset");
  if (length <= 0 || length > kMaxChunkLength) {
    return Status::failure(BadArguments, "data length " + std::to_string(length) + " outside 1.." +
                                             std::to_string(kMaxChunkLength));
  }
  if (offset > std::numeric_limits<std::int64_t>::max() - length) {
    return Status::failure(BadArguments, "offset plus length overflows");
  }
  return Status::ok();
}

Status check_digest(std::span<const std::uint8_t> digest) {
  if (digest.size() != kDigestLength) {
    return Status::failure(BadArguments, "digest length " + std::to_string(digest.size()) +
                                             ", expected " + std::to_string(kDigestLength));
  }
  return Status::ok();
}

}  // namespace

std::optional<std::int32_t> DiskStore::replicate(const Caller& caller,
                                                 const ReplicateRequest& args) {
  return guarded("replicate", caller, args.dest, [&]() -> std::optional<std::int32_t> {
    Use use(find(args.dest), caller.group);
    Status status = use.status();
    if (status.is_ok()) status = do_replicate(*use.session(), args);
    if (!status.is_ok())
      return fail("replicate", caller, args.dest, args.offset, status, use.session());
    use.session()->chunks_replicated.fetch_add(1, std::memory_order_relaxed);
    return Replicated;
  });
}

Status DiskStore::do_replicate(Session& session, const ReplicateRequest& args) {
  if (session.read_only) {
    return Status::failure(ReadOnly, "disk is served for verification only; nothing written");
  }
  if (Status status = lost_status(session); !status.is_ok()) return status;
  if (Status status = check_digest(args.digest); !status.is_ok()) return status;
  if (Status status = check_extent(args.offset, static_cast<std::int64_t>(args.data.size()));
      !status.is_ok()) {
    return status;
  }
  // trvc skips the hash for a chunk of zeros and so can we, checking every
  // byte instead; a zero chunk's digest must still match the one sent.
  const bool zero = is_all_zero(args.data.data(), args.data.size());
  std::uint8_t computed[kDigestLength];
  chunk_digest(hasher_, args.data.data(), args.data.size(), zero, computed);
  if (!same_digest(args.digest, computed)) {
    return Status::failure(DigestMismatch, "the data's MD5 differs from the digest sent");
  }

  // On a fixed-size disk only the part before the end is written, and only
  // when what lies beyond is zero: a source whose size is not a multiple of
  // the chunk length sends its last chunk padded with zeros. A growable
  // image is bounded by the size it may grow to, so that a chunk far out
  // never makes a huge sparse file; but there no byte past the bound is
  // dropped, zero or not: the image would end short of a source whose zeros
  // they are, and the run would pass.
  std::size_t in_range = args.data.size();
  const std::int64_t bound = session.fixed ? session.size : session.max_size;
  in_range = args.offset >= bound
                 ? 0
                 : static_cast<std::size_t>(std::min<std::int64_t>(bound - args.offset, in_range));
  const bool beyond = in_range < args.data.size();
  if (beyond && !zero && !is_all_zero(args.data.data() + in_range, args.data.size() - in_range)) {
    return Status::failure(
        PastEnd, session.fixed
                     ? "non-zero data beyond the end of the disk at " + std::to_string(bound)
                     : "non-zero data beyond " + std::to_string(bound) +
                           " bytes, the largest this image may grow to (--max-size)");
  }
  if (beyond && !session.fixed) {
    return Status::failure(PastEnd, "data beyond " + std::to_string(bound) +
                                        " bytes, the largest this image may grow to "
                                        "(--max-size); zeros too, as they may be the source's");
  }
  if (in_range == 0) return Status::ok();

  // A file cut shorter than what this open wrote has lost chunks already
  // answered; a later write past the cut would grow it back and hide that.
  std::int64_t length = 0;
  if (!session.block_device) {
    if (Status status = check_length(session, &length); !status.is_ok()) return status;
  }
  // The map on disk must stop vouching for the image before it changes.
  const auto chunk_length = static_cast<std::int64_t>(args.data.size());
  if (session.map) {
    if (Status status = session.map->before_write(); !status.is_ok()) return status;
    session.map->write_starts(args.offset, chunk_length);
  }
  session.ahead->write_starts(args.offset, chunk_length);
  const ProbeTicket ticket = probe_write_starts(session, args.offset, in_range);

  // Zeros need not travel: an image gets a hole (and grows without
  // allocating), a block device zeroes the range itself.
  Status written = Status::ok();
  bool cached = false;  // written through the page cache, in part or whole
  try {
    if (!zero || !zero_range(session, in_range, args.offset, length, &written)) {
      // The image only grows meanwhile, so a write that ends inside the
      // length taken above cannot lengthen it.
      std::shared_lock growing(session.growth, std::defer_lock);
      if (!session.block_device && args.offset + static_cast<std::int64_t>(in_range) > length) {
        growing.lock();
      }
      written = write_chunk(session, args.data.data(), in_range, args.offset, &cached);
    }
  } catch (const std::bad_alloc&) {
    // Perhaps written in part: not counted, and a probe it covered is gone.
    probe_write_ended(session, ticket, args.data.data(), in_range, args.offset, false, zero);
    if (session.map) session.map->write_ended(args.offset, chunk_length, nullptr);
    session.ahead->write_ended(args.offset, chunk_length);
    throw;
  }
  probe_write_ended(session, ticket, args.data.data(), in_range, args.offset, written.is_ok(),
                    zero);
  // What lies past the end of a fixed-size disk reads as the zeros sent, so
  // the chunk's digest is that of the whole chunk.
  if (session.map) {
    session.map->write_ended(args.offset, chunk_length, written.is_ok() ? computed : nullptr);
  }
  session.ahead->write_ended(args.offset, chunk_length);
  if (!written.is_ok()) return written;
  session.bytes_written.fetch_add(in_range, std::memory_order_relaxed);
  Status durable = wait_durable(session);
  // Once on the disk, what went through the page cache need not stay in
  // it: an image being filled would push everything else out, and pages
  // freed at once are what the next chunks' writes get (advice only; a
  // failure changes nothing).
  if (durable.is_ok() && cached) {
    (void)io_.drop_cached(session.fd, args.offset, static_cast<off_t>(in_range));
  }
  return durable;
}

// A direct write that allocates blocks runs alone under the file's lock on
// ext4 and XFS, and waits for the device there: one chunk at a time. With
// its blocks allocated first (unwritten: they read as zeros until the write
// lands, and the flush commits them with the data), the writes go to the
// device side by side.
bool DiskStore::allocate_ahead(Session& session, std::int64_t offset, std::size_t length) {
  if (!session.allocate.load(std::memory_order_relaxed)) return false;
  int result = 0;
  do {
    result = io_.allocate(session.fd, offset, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result == 0) return true;
  const int error = errno;
  if ((error == EOPNOTSUPP || error == EINVAL || error == ENOSYS) &&
      session.allocate.exchange(false)) {
    log(disk_notice_event(session.disk,
                          "cannot allocate ahead (" + describe_errno("fallocate", error) +
                              "), writing past the image's end through the page cache"));
  }
  // Any other failure (no space, say) meets the write through the page
  // cache too, which reports it.
  return false;
}

Status DiskStore::write_chunk(Session& session, const std::uint8_t* data, std::size_t length,
                              std::int64_t offset, bool* cached) {
  std::size_t done = 0;
  // The runtime reassembles a chunk at an aligned address, so that it goes
  // to the disk from where it landed; other data is copied to an aligned
  // buffer a piece at a time. On an image past what it held when the open
  // began, only once the chunk's blocks are allocated (allocate_ahead);
  // else through the page cache, whose pages are let go once flushed
  // (do_replicate).
  const bool in_place = reinterpret_cast<std::uintptr_t>(data) % kDirectMemoryAlignment == 0;
  bool direct =
      session.direct.load(std::memory_order_relaxed) &&
      static_cast<std::uint64_t>(offset) % session.block == 0 && length % session.block == 0 &&
      (session.block_device || offset + static_cast<std::int64_t>(length) <= session.size ||
       allocate_ahead(session, offset, length));
  std::uint8_t* copy = direct && !in_place ? direct_buffer() : nullptr;
  if (!in_place && copy == nullptr) direct = false;
  while (direct && done < length && session.direct.load(std::memory_order_relaxed)) {
    const std::size_t piece = in_place ? length - done : std::min(length - done, kDirectPiece);
    const std::uint8_t* buffer = data + done;
    if (!in_place) buffer = static_cast<std::uint8_t*>(std::memcpy(copy, data + done, piece));
    const std::int64_t n =
        io_.pwrite(session.direct_fd, buffer, piece, offset + static_cast<std::int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EINVAL) return write_failure(WriteFailed, "pwrite", errno);
      // The file system takes O_DIRECT opens but not the writes (or not
      // with this alignment): the page cache it is, from now on.
      if (session.direct.exchange(false)) {
        log(disk_notice_event(session.disk, "direct write refused (" +
                                                describe_errno("pwrite", EINVAL) +
                                                "), writing through the page cache"));
      }
      break;
    }
    if (n == 0) return Status::failure(WriteFailed, "pwrite wrote nothing");
    done += static_cast<std::size_t>(n);
    // A short write may leave the rest unaligned; the buffered path takes it.
    if (done % session.block != 0) break;
  }
  *cached = done < length;
  return write_all(io_, session.fd, data + done, length - done,
                   offset + static_cast<std::int64_t>(done));
}

bool DiskStore::zero_range(Session& session, std::size_t length, std::int64_t offset,
                           std::int64_t image_length, Status* status) {
  if (!session.zero_ranges.load(std::memory_order_relaxed)) return false;
  const std::int64_t end = offset + static_cast<std::int64_t>(length);
  const char* call = session.block_device ? "ioctl BLKZEROOUT" : "fallocate";
  int result = 0;
  if (session.block_device) {
    // The device zeroes whole logical blocks only.
    if (static_cast<std::uint64_t>(offset) % session.block != 0 || length % session.block != 0) {
      return false;
    }
    do {
      result = io_.zero_out(session.fd, static_cast<std::uint64_t>(offset), length);
    } while (result != 0 && errno == EINTR);
  } else if (offset < image_length) {
    // A hole reads as zeros whatever the range held, and the data's blocks
    // are freed, so the image takes the space of the source's data alone.
    // Past the file's end it changes nothing.
    do {
      result = io_.punch_hole(session.fd, offset, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
  }
  if (result != 0) {
    const int error = errno;
    if (error == EOPNOTSUPP || error == EINVAL || error == ENOSYS || error == ENOTTY) {
      if (session.zero_ranges.exchange(false)) {
        log(disk_notice_event(session.disk, "cannot zero ranges (" + describe_errno(call, error) +
                                                "), writing zero chunks"));
      }
      return false;
    }
    *status = write_failure(WriteFailed, call, error);
    return true;
  }
  *status = session.block_device || end <= image_length ? Status::ok() : grow_image(session, end);
  return true;
}

Status DiskStore::grow_image(Session& session, std::int64_t end) {
  // Bytes past the old end read as zeros and take no space. No write that
  // may lengthen the file runs meanwhile: the length taken here stays true
  // until the ftruncate, which therefore never cuts the file. The flush that
  // answers the chunk (fdatasync) makes the new length durable with it.
  std::unique_lock growing(session.growth);
  struct stat st;
  if (io_.fstat(session.fd, &st) != 0) {
    return Status::failure(WriteFailed, describe_errno("fstat", errno));
  }
  if (st.st_size >= end) return Status::ok();
  while (io_.ftruncate(session.fd, static_cast<off_t>(end)) != 0) {
    if (errno != EINTR) return write_failure(WriteFailed, "ftruncate", errno);
  }
  return Status::ok();
}

Status DiskStore::wait_durable(Session& session) {
  return session.flushes.wait([&] {
    if (io_.fdatasync(session.fd) != 0) {
      Status failed = write_failure(FlushFailed, "fdatasync", errno);
      // What was written may be lost, whatever the map says of it.
      if (session.map) session.map->discard("a flush failed");
      return failed;
    }
    // Durable, but perhaps in a file that is no longer the destination.
    if (std::string found = find_change(session); !found.empty()) {
      return lose(session, std::move(found));
    }
    return Status::ok();
  });
}

std::optional<std::int32_t> DiskStore::compare(const Caller& caller, const CompareRequest& args) {
  return guarded("compare", caller, args.dest, [&]() -> std::optional<std::int32_t> {
    Use use(find(args.dest), caller.group);
    bool identical = false;
    Status status = use.status();
    if (status.is_ok()) status = do_compare(*use.session(), args, &identical);
    if (!status.is_ok()) {
      return fail("compare", caller, args.dest, args.offset, status, use.session());
    }
    Session* session = use.session();
    (identical ? session->identical : session->different).fetch_add(1, std::memory_order_relaxed);
    return identical ? Identical : Differs;
  });
}

Status DiskStore::do_compare(Session& session, const CompareRequest& args, bool* identical) {
  if (Status status = lost_status(session); !status.is_ok()) return status;
  if (Status status = check_digest(args.digest); !status.is_ok()) return status;
  if (Status status = check_extent(args.offset, args.data_length); !status.is_ok()) return status;

  // What this open found identical or wrote before must still be there, in
  // the file the path names, or this answer would vouch for a cut image.
  std::int64_t length = 0;
  if (Status status = check_before_compare(session, &length); !status.is_ok()) return status;
  // A growable image that does not reach the end of the range yet must get
  // the chunk, even one of zeros: counted as zero, it would be skipped and
  // the image stay shorter than the source.
  if (!session.fixed && args.offset + args.data_length > length) {
    *identical = false;
    return Status::ok();
  }
  // On a fixed-size disk bytes past the end read as zero, so that a chunk
  // that was padded with zeros when written compares equal to what the disk
  // holds.
  const std::int64_t end = session.fixed ? session.size : std::numeric_limits<std::int64_t>::max();
  // Reads pass the page cache for as long as writes do.
  const DirectReads direct{session.direct.load(std::memory_order_relaxed) ? session.direct_fd : -1,
                           session.block};
  // A whole chunk the map knows is answered without reading the disk.
  DigestMap::ReadTicket kept;
  std::uint8_t computed[kDigestLength];
  if (session.map && session.map->look_up(args.offset, args.data_length, computed, &kept)) {
    *identical = same_digest(args.digest, computed);
    if (*identical) {
      compared_identical(session, args.offset, std::min(args.offset + args.data_length, end),
                         ProbeOffer{}, FirstNonZero{});
    }
    return Status::ok();
  }
  ProbeOffer offer;
  FirstNonZero first;
  // A whole chunk read ahead, as this compare would have read it.
  ReadAhead::Found found;
  if (args.data_length == static_cast<std::int64_t>(kChunkLength) &&
      session.ahead->take(args.offset, &found)) {
    std::memcpy(computed, found.digest, kDigestLength);
    offer = found.offer;
    first = found.first;
  } else {
    offer = probe_offer(session, args.offset);
    if (Status status = range_digest(io_, hasher_, session.fd, direct, args.offset,
                                     args.data_length, end, computed,
                                     offer.wanted ? &first : nullptr);
        !status.is_ok()) {
      return status;
    }
  }
  if (session.map) session.map->read_ended(args.offset, kept, computed);
  *identical = same_digest(args.digest, computed);
  if (*identical) {
    compared_identical(session, args.offset, std::min(args.offset + args.data_length, end), offer,
                       first);
  }
  return Status::ok();
}
