// The digest map of one served image: the MD5 of each whole 1 MiB chunk as
// trvs last wrote or read it, kept in a file of its own so that an
// incremental run can answer compare without reading the destination. Every
// member may be called from any thread; begin() and save() only while no
// call of the disk is in progress (the store's open and close ensure it).
//
// The file, in the folder given with --digest-map, is named after the
// image's device and inode ("trvs-map-DEV-INO"): two images that exist at
// once never share a name, and a rename of the image keeps its map. It holds,
// little-endian:
//
//   offset  size  field
//        0     8  "TRVSDMAP"
//        8     4  version, 1
//       12     4  state: 1 = written after the image's final flush; 0 = the
//                 image may have changed since (set before an open's first
//                 write, durably, so that a kill or a power loss leaves it 0)
//       16     8  chunk length, 1048576
//       24    40  the image's stamp when the map was written: st_dev, st_ino,
//                 st_size, st_mtim and st_ctim in nanoseconds (8 bytes each)
//       64     8  N, the number of records
//       72  24*N  records, by increasing chunk index: the index (8 bytes) and
//                 the chunk's MD5 (16 bytes)
//  72+24*N    16  MD5 of bytes 16 .. 72+24*N (everything but the header's
//                 first 16 bytes and this checksum)
//
// A map is trusted at the start of an open only when its state is 1, its
// checksum is right and the stamp equals the image's (fstat of the opened
// descriptor); otherwise it starts empty. The state is left out of the
// checksum so that it can be cleared in place with one small write.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "server/events.h"
#include "server/status.h"

// What identifies the content of an image without reading it, as far as
// the file system tells: any write, truncation, replacement or change of
// its times through any name of the file changes st_ctim.
struct ImageStamp {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::int64_t length = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;

  static ImageStamp of(const struct stat& st);
  bool operator==(const ImageStamp&) const = default;
};

class DigestMap {
 public:
  using LogSink = std::function<void(const Event&)>;

  // The map of the image (dev, ino) of disk `disk`, in `folder`; nothing is
  // read yet. `log` takes its events ("disk N: digest map ...").
  DigestMap(std::int16_t disk, std::string folder, dev_t dev, ino_t ino, LogSink log);
  ~DigestMap();
  DigestMap(const DigestMap&) = delete;
  DigestMap& operator=(const DigestMap&) = delete;

  // Opens the folder (at start, while trvs may still be root); its
  // descriptor is kept. OpenFailed with the reason.
  Status open_folder();
  const std::string& path() const { return path_; }

  // At the start of an open: loads the file and keeps its digests only when
  // it is current, whole and stamped `now`; else starts empty. Logs which,
  // once. Chunks at or past `chunk_limit` are never kept.
  void begin(const ImageStamp& now, std::uint64_t chunk_limit);

  // For compare: whether the map holds the digest of the chunk at `offset`
  // (a whole chunk: offset a multiple of kChunkLength, length kChunkLength),
  // in *digest. When it does not, *ticket says whether the digest read from
  // the disk may be kept (read_ended).
  struct ReadTicket {
    bool keep = false;
    std::uint16_t started = 0;
  };
  bool look_up(std::int64_t offset, std::int64_t length, std::uint8_t (&digest)[kDigestLength],
               ReadTicket* ticket);
  // Keeps what a compare read, unless a write of that chunk started or ran
  // while it read.
  void read_ended(std::int64_t offset, const ReadTicket& ticket,
                  const std::uint8_t (&digest)[kDigestLength]);

  // Before every write: the first of an open clears the file's state on
  // disk (or removes the file) and makes that durable before it returns;
  // the others wait for it. WriteFailed when neither could be done: the
  // write must not happen, or the file would still vouch for the old data.
  Status before_write();
  // Around a write of `length` bytes at `offset`: the chunks it touches are
  // not kept by compares meanwhile; afterwards a whole chunk written gets
  // `digest`, any other chunk touched (or every one, when `digest` is null:
  // the write failed) is forgotten.
  void write_starts(std::int64_t offset, std::int64_t length);
  void write_ended(std::int64_t offset, std::int64_t length, const std::uint8_t* digest);

  // At a clean close, after the flush that made every write durable and the
  // destination check: writes the map with `stamp` (the image's fstat after
  // that flush), replacing the file atomically, and logs the outcome.
  void save(const ImageStamp& stamp);
  // The open failed or the destination changed (`why`): the file is removed
  // and the map answers nothing more in this open. Logged once.
  void discard(const std::string& why);

  // Compares answered from the map in this open (for tests and the log).
  std::uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }

 private:
  struct Entry {
    std::uint8_t digest[kDigestLength];
    std::uint16_t started;  // writes of the chunk started, wrapping
    std::uint16_t writers;  // writes of the chunk running
    bool known;
  };
  // Entries come in pages, allocated when first touched, so that a chunk
  // far out costs one page, not an array up to it.
  static constexpr std::uint64_t kPageEntries = 4096;

  // The entry of chunk `index`; null when it has none yet and `create` is
  // false, or when it lies past the limit. Under mutex_; may throw bad_alloc.
  Entry* entry(std::uint64_t index, bool create);
  // Why the file cannot be trusted for `now`, or "" (its digests then kept).
  std::string load(const ImageStamp& now);
  Status mark_stale();
  std::string write_file(const ImageStamp& stamp);
  bool sync_folder(std::string* why);
  void clear();
  // `line` follows "disk N: ".
  void log(const std::string& line, int priority = kPriorityInfo) const;

  const std::int16_t disk_;
  const std::string folder_;
  const std::string name_;
  const std::string path_;
  const LogSink log_;
  int folder_fd_ = -1;

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Entry[]>> pages_;  // guarded by mutex_
  std::uint64_t limit_ = 0;                      // guarded by mutex_
  // False once the map gave up in this open (discarded, out of memory):
  // nothing is answered, kept or saved. Guarded by mutex_.
  bool usable_ = false;
  bool discarded_ = false;  // guarded by mutex_

  // The file's state cleared in this open; set under mark_mutex_.
  std::mutex mark_mutex_;
  std::atomic<bool> marked_{false};
  std::atomic<std::uint64_t> answered_{0};
};
