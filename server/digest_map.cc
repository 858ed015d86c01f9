// The digest map of one image and its file (the format is in digest_map.h).
// Lock order: mark_mutex_ (held through the durable clearing of the file's
// state, so that no write of the image starts before it), then mutex_ (only
// for arithmetic on the entries, except in begin() and save(), which run
// while no call of the disk is in progress).
#include "server/digest_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "digest/digest.h"

namespace {

constexpr char kMagic[8] = {'T', 'R', 'V', 'S', 'D', 'M', 'A', 'P'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kCurrent = 1;
constexpr std::size_t kHeaderLength = 72;
constexpr std::size_t kStateOffset = 12;
// The checksum covers everything after the state.
constexpr std::size_t kSummedFrom = 16;
constexpr std::size_t kRecordLength = 8 + kDigestLength;
// Records are read and written this many at a time.
constexpr std::size_t kRecordsPerPiece = 43690;
constexpr std::int64_t kChunk = kChunkLength;

// Little-endian integers of `bytes` bytes.
void put_le(std::uint8_t* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::uint64_t get_le(const std::uint8_t* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
  return value;
}
void put_u64(std::uint8_t* at, std::uint64_t value) { put_le(at, value, 8); }
void put_u32(std::uint8_t* at, std::uint32_t value) { put_le(at, value, 4); }
std::uint64_t get_u64(const std::uint8_t* at) { return get_le(at, 8); }
std::uint32_t get_u32(const std::uint8_t* at) { return static_cast<std::uint32_t>(get_le(at, 4)); }

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

void put_stamp(std::uint8_t* at, const ImageStamp& stamp) {
  put_u64(at, stamp.dev);
  put_u64(at + 8, stamp.ino);
  put_u64(at + 16, static_cast<std::uint64_t>(stamp.length));
  put_u64(at + 24, static_cast<std::uint64_t>(stamp.mtime_ns));
  put_u64(at + 32, static_cast<std::uint64_t>(stamp.ctime_ns));
}

ImageStamp get_stamp(const std::uint8_t* at) {
  return ImageStamp{get_u64(at), get_u64(at + 8), static_cast<std::int64_t>(get_u64(at + 16)),
                    static_cast<std::int64_t>(get_u64(at + 24)),
                    static_cast<std::int64_t>(get_u64(at + 32))};
}

// Which parts of two stamps differ, for the log.
std::string stamp_difference(const ImageStamp& kept, const ImageStamp& now) {
  std::string parts;
  const auto add = [&parts](bool differs, const char* what) {
    if (!differs) return;
    if (!parts.empty()) parts += ", ";
    parts += what;
  };
  add(kept.dev != now.dev || kept.ino != now.ino, "another file");
  add(kept.length != now.length, "length");
  add(kept.mtime_ns != now.mtime_ns, "modification time");
  add(kept.ctime_ns != now.ctime_ns, "change time");
  return parts;
}

// Reads exactly `length` bytes; false at the end of the file (errno 0) or
// on an error (errno set).
bool read_exactly(int fd, std::uint8_t* data, std::size_t length, off_t offset) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, data + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool write_exactly(int fd, const std::uint8_t* data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// A file written within the same tick of the clock that stamps files as the
// stamp keeps its times. Waits until that tick has passed, so that whatever
// writes the image after trvs lets it go leaves other times. File systems
// that keep whole seconds (the stamp's nanoseconds are then 0) tick every
// second or two. A clock set back by more than that is not waited for: no
// write can then take the stamp's times anyway.
void wait_past(const ImageStamp& stamp) {
  const std::int64_t newest = std::max(stamp.mtime_ns, stamp.ctime_ns);
  const std::int64_t grain = newest % 1000000000 == 0 ? 2000000000 : 1;
  for (;;) {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    const std::int64_t at = nanoseconds(now);
    if (at >= newest + grain || newest - at > 2000000000) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

ImageStamp ImageStamp::of(const struct stat& st) {
  return ImageStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                    static_cast<std::int64_t>(st.st_size), nanoseconds(st.st_mtim),
                    nanoseconds(st.st_ctim)};
}

DigestMap::DigestMap(std::int16_t disk, std::string folder, dev_t dev, ino_t ino, LogSink log)
    : disk_(disk),
      folder_(std::move(folder)),
      name_("trvs-map-" + std::to_string(static_cast<std::uint64_t>(dev)) + "-" +
            std::to_string(static_cast<std::uint64_t>(ino))),
      path_(folder_ + (!folder_.empty() && folder_.back() == '/' ? "" : "/") + name_),
      log_(std::move(log)) {}

DigestMap::~DigestMap() {
  if (folder_fd_ >= 0) ::close(folder_fd_);
}

Status DigestMap::open_folder() {
  folder_fd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd_ < 0) {
    return Status::failure(OpenFailed,
                           describe_errno(("digest map folder " + folder_).c_str(), errno));
  }
  return Status::ok();
}

void DigestMap::log(const std::string& line, int priority) const {
  if (log_) log_(digest_map_event(disk_, line, priority));
}

DigestMap::Entry* DigestMap::entry(std::uint64_t index, bool create) {
  if (index >= limit_) return nullptr;
  const std::uint64_t page = index / kPageEntries;
  if (page >= pages_.size()) {
    if (!create) return nullptr;
    pages_.resize(page + 1);
  }
  if (!pages_[page]) {
    if (!create) return nullptr;
    pages_[page] = std::make_unique<Entry[]>(kPageEntries);
  }
  return &pages_[page][index % kPageEntries];
}

void DigestMap::clear() {
  pages_.clear();
  pages_.shrink_to_fit();
}

void DigestMap::begin(const ImageStamp& now, std::uint64_t chunk_limit) {
  std::lock_guard lock(mutex_);
  clear();
  limit_ = chunk_limit;
  usable_ = true;
  discarded_ = false;
  marked_.store(false);
  answered_.store(0);
  std::string why;
  try {
    why = load(now);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
    usable_ = false;
  }
  if (!why.empty()) {
    clear();
    log("digest map " + path_ + " not used (" + why + "); rebuilt from what this open writes and " +
            "reads",
        kPriorityNotice);
    return;
  }
  std::uint64_t known = 0;
  for (const auto& page : pages_) {
    if (!page) continue;
    for (std::uint64_t i = 0; i < kPageEntries; ++i) known += page[i].known ? 1 : 0;
  }
  log("digest map " + path_ + " used: " + std::to_string(known) + " chunks known");
}

std::string DigestMap::load(const ImageStamp& now) {
  const int fd = ::openat(folder_fd_, name_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? "missing" : describe_errno("open", errno);
  FileCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return describe_errno("fstat", errno);
  std::uint8_t header[kHeaderLength];
  if (!read_exactly(fd, header, sizeof header, 0)) {
    return errno == 0 ? "shorter than its header" : describe_errno("read", errno);
  }
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return "not a digest map";
  if (get_u32(header + 8) != kVersion) {
    return "version " + std::to_string(get_u32(header + 8)) + ", not " + std::to_string(kVersion);
  }
  if (get_u32(header + kStateOffset) != kCurrent) return "not closed cleanly";
  if (get_u64(header + 16) != kChunkLength) return "chunk length differs";
  const ImageStamp kept = get_stamp(header + 24);
  if (kept != now) return "stamp differs: " + stamp_difference(kept, now);
  const std::uint64_t count = get_u64(header + 64);
  if (count > limit_ || static_cast<std::uint64_t>(st.st_size) !=
                            kHeaderLength + count * kRecordLength + kDigestLength) {
    return "length does not match its records";
  }

  Md5Context context;
  md5_init(&context);
  md5_update(&context, header + kSummedFrom, kHeaderLength - kSummedFrom);
  std::vector<std::uint8_t> piece(kRecordsPerPiece * kRecordLength);
  std::uint64_t done = 0;
  bool ordered = true;
  std::uint64_t last = 0;
  while (done < count) {
    const std::uint64_t records = std::min<std::uint64_t>(count - done, kRecordsPerPiece);
    const std::size_t bytes = records * kRecordLength;
    if (!read_exactly(fd, piece.data(), bytes, kHeaderLength + done * kRecordLength)) {
      return errno == 0 ? "shorter than its records" : describe_errno("read", errno);
    }
    md5_update(&context, piece.data(), static_cast<std::uint32_t>(bytes));
    for (std::uint64_t i = 0; i < records && ordered; ++i) {
      const std::uint8_t* record = piece.data() + i * kRecordLength;
      const std::uint64_t index = get_u64(record);
      ordered = index < limit_ && (done + i == 0 || index > last);
      last = index;
      if (!ordered) break;
      Entry* slot = entry(index, true);
      std::memcpy(slot->digest, record + 8, kDigestLength);
      slot->known = true;
    }
    done += records;
  }
  std::uint8_t kept_sum[kDigestLength];
  std::uint8_t sum[kDigestLength];
  if (!read_exactly(fd, kept_sum, sizeof kept_sum, kHeaderLength + count * kRecordLength)) {
    return errno == 0 ? "shorter than its checksum" : describe_errno("read", errno);
  }
  md5_final(sum, &context);
  if (std::memcmp(sum, kept_sum, kDigestLength) != 0) return "checksum wrong";
  // Only a file that passes its checksum can have records out of order by
  // our own fault; still, nothing from it is taken then.
  if (!ordered) return "records out of order or past the image";
  return {};
}

bool DigestMap::look_up(std::int64_t offset, std::int64_t length,
                        std::uint8_t (&digest)[kDigestLength], ReadTicket* ticket) {
  *ticket = ReadTicket{};
  if (offset < 0 || offset % kChunk != 0 || length != kChunk) return false;
  const auto index = static_cast<std::uint64_t>(offset) / kChunkLength;
  std::lock_guard lock(mutex_);
  if (!usable_ || index >= limit_) return false;
  const Entry* slot = entry(index, false);
  if (slot && slot->known && slot->writers == 0) {
    std::memcpy(digest, slot->digest, kDigestLength);
    answered_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  ticket->keep = !slot || slot->writers == 0;
  ticket->started = slot ? slot->started : 0;
  return false;
}

void DigestMap::read_ended(std::int64_t offset, const ReadTicket& ticket,
                           const std::uint8_t (&digest)[kDigestLength]) {
  if (!ticket.keep) return;
  const auto index = static_cast<std::uint64_t>(offset) / kChunkLength;
  std::lock_guard lock(mutex_);
  if (!usable_) return;
  try {
    Entry* slot = entry(index, true);
    // A write that ran meanwhile may have changed what was read.
    if (!slot || slot->writers != 0 || slot->started != ticket.started) return;
    std::memcpy(slot->digest, digest, kDigestLength);
    slot->known = true;
  } catch (const std::bad_alloc&) {
    usable_ = false;
    clear();
    log("digest map " + path_ + " given up for this open (out of memory)", kPriorityWarning);
  }
}

Status DigestMap::before_write() {
  if (marked_.load(std::memory_order_acquire)) return Status::ok();
  std::lock_guard lock(mark_mutex_);
  if (marked_.load(std::memory_order_relaxed)) return Status::ok();
  Status status = mark_stale();
  if (status.is_ok()) marked_.store(true, std::memory_order_release);
  return status;
}

Status DigestMap::mark_stale() {
  std::string why;
  const int fd = ::openat(folder_fd_, name_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Status::ok();
    why = describe_errno("open", errno);
  } else {
    FileCloser closer{fd};
    std::uint8_t state[4];
    put_u32(state, 0);
    ssize_t n;
    do {
      n = ::pwrite(fd, state, sizeof state, kStateOffset);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof state)) {
      why = n < 0 ? describe_errno("pwrite", errno) : "pwrite wrote less";
    } else if (::fdatasync(fd) != 0) {
      why = describe_errno("fdatasync", errno);
    } else {
      return Status::ok();
    }
  }
  // A file that still says current would vouch for the old data: gone, it
  // vouches for nothing.
  std::string removed;
  if ((::unlinkat(folder_fd_, name_.c_str(), 0) == 0 || errno == ENOENT) && sync_folder(&removed)) {
    log("cannot mark digest map " + path_ + " stale (" + why + "); removed it", kPriorityWarning);
    return Status::ok();
  }
  if (removed.empty()) removed = describe_errno("unlink", errno);
  return Status::failure(WriteFailed, "cannot mark digest map " + path_ + " stale (" + why +
                                          ") nor remove it (" + removed + ")");
}

bool DigestMap::sync_folder(std::string* why) {
  if (::fsync(folder_fd_) == 0) return true;
  *why = describe_errno("fsync of the folder", errno);
  return false;
}

void DigestMap::write_starts(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(mutex_);
  if (!usable_ || offset < 0 || length <= 0) return;
  const auto first = static_cast<std::uint64_t>(offset) / kChunkLength;
  const auto last = static_cast<std::uint64_t>(offset + length - 1) / kChunkLength;
  try {
    for (std::uint64_t index = first; index <= last; ++index) {
      Entry* slot = entry(index, true);
      if (!slot) continue;
      ++slot->started;
      ++slot->writers;
      slot->known = false;
    }
  } catch (const std::bad_alloc&) {
    usable_ = false;
    clear();
    log("digest map " + path_ + " given up for this open (out of memory)", kPriorityWarning);
  }
}

void DigestMap::write_ended(std::int64_t offset, std::int64_t length, const std::uint8_t* digest) {
  std::lock_guard lock(mutex_);
  if (!usable_ || offset < 0 || length <= 0) return;
  const auto first = static_cast<std::uint64_t>(offset) / kChunkLength;
  const auto last = static_cast<std::uint64_t>(offset + length - 1) / kChunkLength;
  const bool whole = offset % kChunk == 0 && length == kChunk;
  for (std::uint64_t index = first; index <= last; ++index) {
    // write_starts made every entry up to the limit.
    Entry* slot = entry(index, false);
    if (!slot) continue;
    if (slot->writers > 0) --slot->writers;
    slot->known = whole && digest != nullptr;
    if (slot->known) std::memcpy(slot->digest, digest, kDigestLength);
  }
}

void DigestMap::save(const ImageStamp& stamp) {
  std::lock_guard lock(mutex_);
  if (!usable_) return;
  std::string why;
  try {
    why = write_file(stamp);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
  }
  if (!why.empty()) {
    log("cannot save digest map " + path_ + ": " + why, kPriorityWarning);
    return;
  }
  wait_past(stamp);
}

std::string DigestMap::write_file(const ImageStamp& stamp) {
  std::uint64_t count = 0;
  for (const auto& page : pages_) {
    if (!page) continue;
    for (std::uint64_t i = 0; i < kPageEntries; ++i) count += page[i].known ? 1 : 0;
  }
  const std::string temporary = name_ + ".new";
  const int fd =
      ::openat(folder_fd_, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return describe_errno(("open " + temporary).c_str(), errno);
  std::string why;
  {
    FileCloser closer{fd};
    std::uint8_t header[kHeaderLength] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    put_u32(header + 8, kVersion);
    put_u32(header + kStateOffset, kCurrent);
    put_u64(header + 16, kChunkLength);
    put_stamp(header + 24, stamp);
    put_u64(header + 64, count);
    Md5Context context;
    md5_init(&context);
    md5_update(&context, header + kSummedFrom, kHeaderLength - kSummedFrom);
    bool written = write_exactly(fd, header, sizeof header);
    std::vector<std::uint8_t> piece;
    piece.reserve(kRecordsPerPiece * kRecordLength);
    const auto flush_piece = [&] {
      md5_update(&context, piece.data(), static_cast<std::uint32_t>(piece.size()));
      written = written && write_exactly(fd, piece.data(), piece.size());
      piece.clear();
    };
    for (std::uint64_t page = 0; page < pages_.size() && written; ++page) {
      if (!pages_[page]) continue;
      for (std::uint64_t i = 0; i < kPageEntries; ++i) {
        const Entry& slot = pages_[page][i];
        if (!slot.known) continue;
        const std::size_t at = piece.size();
        piece.resize(at + kRecordLength);
        put_u64(piece.data() + at, page * kPageEntries + i);
        std::memcpy(piece.data() + at + 8, slot.digest, kDigestLength);
        if (piece.size() == piece.capacity()) flush_piece();
      }
    }
    if (!piece.empty()) flush_piece();
    std::uint8_t sum[kDigestLength];
    md5_final(sum, &context);
    written = written && write_exactly(fd, sum, sizeof sum);
    if (!written) {
      why = describe_errno("write", errno);
    } else if (::fsync(fd) != 0) {
      why = describe_errno("fsync", errno);
    }
  }
  if (why.empty() && ::renameat(folder_fd_, temporary.c_str(), folder_fd_, name_.c_str()) != 0) {
    why = describe_errno("rename", errno);
  }
  if (!why.empty()) {
    (void)::unlinkat(folder_fd_, temporary.c_str(), 0);
    return why;
  }
  if (!sync_folder(&why)) return why;
  log("digest map " + path_ + " saved: " + std::to_string(count) + " chunks known, " +
      std::to_string(answered()) + " compares answered from it");
  return {};
}

void DigestMap::discard(const std::string& why) {
  std::lock_guard lock(mutex_);
  if (discarded_) return;
  discarded_ = true;
  usable_ = false;
  clear();
  std::string failed;
  if (::unlinkat(folder_fd_, name_.c_str(), 0) != 0 && errno != ENOENT) {
    failed = describe_errno("unlink", errno);
  } else {
    (void)sync_folder(&failed);
  }
  if (failed.empty()) {
    log("digest map " + path_ + " discarded: " + why, kPriorityNotice);
    return;
  }
  // Left in place, it must at least not say current.
  const Status marked = mark_stale();
  log("digest map " + path_ + " discarded: " + why + "; cannot remove it (" + failed + ")" +
          (marked.is_ok() ? ", marked stale" : "; " + marked.message()),
      kPriorityWarning);
}
