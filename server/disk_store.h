// The disks that trvs serves, and the four procedures on them. The RPC server
// calls the procedures concurrently from its connection threads; every method
// of DiskStore may be called from any thread at any time.
//
// Every disk is opened once, by open_disks() at start (before trvs gives up
// root), and its descriptors are kept until the store goes: an image stays
// locked and a block device claimed (O_EXCL) for the server's life. A client's
// open_device starts a session on those descriptors after checking that the
// path still names the file opened at start.
//
// A disk is opened by one client association group at a time (the client opens
// it on one connection and writes through others of the same group). Another
// group that asks for it while it is open gets Busy. When the group closes the
// disk, or its last connection ends, or trvs shuts down, the disk is flushed to
// stable storage and closed.
//
// Durability: replicate answers Replicated only after an fdatasync that started
// after the chunk's bytes were written has succeeded. Concurrent replicates on
// one disk share flushes (group commit): a caller that finds a flush already
// running waits for the next one, which covers every write completed before it
// starts. A failed flush is sticky for that open: every later replicate and the
// close report FlushFailed, because after a failed fdatasync the kernel may have
// dropped the dirty pages and a later flush could succeed without them.
//
// A destination that changes under an open is never taken for written nor
// for identical: after each flush and at the close the path must still name
// the file opened, an image must be at least as long as what the open vouched
// for (wrote, or compared identical) and one vouched byte (the probe, in the
// lowest non-zero chunk written or compared identical) must read back as it
// was. Before each write and each compare the length is checked too, and
// before each compare the path, since the compare reads through the
// descriptor, which still sees a replaced file. The first check that fails
// makes every later replicate, compare and the close of that open answer
// DestinationChanged. Known limit: a cut to a length above the probe that a
// concurrent write grows back before any check runs goes unseen.
//
// A close takes the session away from new calls and waits for those in
// progress; until it has flushed and ended, no other open of the disk
// starts: open_device waits for it, at most kCloseWait, then answers Busy.
// A call that runs out of memory answers OutOfMemory; trvs goes on serving.
//
// Writes: chunks whose offset and length are multiples of the disk's logical
// block size go through a second descriptor opened with O_DIRECT, which skips
// the page cache, on a block device and inside the length an image had when
// the open began (past it, where each write allocates, the page cache and
// the shared flush allocate faster). Everything else uses the ordinary
// descriptor; compares read what the page cache holds through it and the
// rest directly. A chunk of zero bytes becomes a hole in an image file
// (FALLOC_FL_PUNCH_HOLE, or a longer length past its end) and BLKZEROOUT on
// a block device instead of a write. Where the kernel refuses either, that
// disk falls back to plain buffered writes for the rest of its open.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "digest/hash_combiner.h"
#include "digest/md5.h"
#include "server/disk_io.h"
#include "server/disk_read.h"
#include "server/events.h"
#include "server/line_budget.h"
#include "server/status.h"
#include "service/service_server.h"

// Largest chunk trvs accepts in replicate and compare. The client sends
// kChunkLength; the margin leaves room for larger chunks while bounding a
// peer's demands. Digests are MD5, exactly kDigestLength bytes.
inline constexpr std::int64_t kMaxChunkLength = 4 * static_cast<std::int64_t>(kChunkLength);

// The largest a growable image may become when --max-size does not say:
// 16 TiB, but never more than the file system that holds it (taken at
// start), which could not hold it either once written.
inline constexpr std::int64_t kDefaultMaxImageSize = std::int64_t{16} << 40;

struct DiskConfig {
  std::int16_t number = 0;
  std::string path;
  // Never write past the length the file has when it is opened, as for a
  // block device. Block devices are always fixed-size; image files grow
  // unless this is set.
  bool fixed_size = false;
  // Served for verification only: opened read-only, compare as usual (bytes
  // past the end counted as zero, as on a fixed-size disk), every replicate
  // refused with ReadOnly.
  bool read_only = false;
  // A growable image never grows past this many bytes: a chunk that would
  // reach past it is refused whatever its bytes, since zeros there may be
  // the source's own (nothing tells them from the padding of a last chunk).
  // An image that is longer already keeps its length as the bound. 0 = the
  // default (see kDefaultMaxImageSize).
  std::int64_t max_size = 0;
  // --digest-map: the folder of the image's digest map (see digest_map.h);
  // empty = none. Block devices and read-only disks never have one.
  std::string digest_map_dir = {};
};

class DiskStore final : public ReplicationHandler {
 public:
  // Receives one event at a time; called from any thread, possibly
  // concurrently. May be empty.
  using LogSink = std::function<void(const Event&)>;

  // The numbers in `disks` must be distinct. Nothing is opened yet. Digests
  // are hashed through `hasher`, shared with whoever else hashes in the
  // process; every call on the disks goes through `io`. Both must outlive
  // the store.
  DiskStore(std::vector<DiskConfig> disks, LogSink log, HashCombiner& hasher,
            DiskIo& io = posix_disk_io());
  // Flushes what is still open and closes every descriptor.
  ~DiskStore() override;

  DiskStore(const DiskStore&) = delete;
  DiskStore& operator=(const DiskStore&) = delete;

  // Opens and checks every disk, once, before any call is served: the path
  // exists and is a block device or a regular file, it opens for reading and
  // writing (reading only when read_only), a block device is not mounted or
  // claimed (O_EXCL), an image is not locked by another process, the size can
  // be had, and no two disks are one file. The first disk that fails is
  // named in the message ("disk N (PATH): REASON"), code OpenFailed. Not
  // thread-safe; call it once, before serving. A disk that was never opened
  // here answers OpenFailed to open_device.
  Status open_disks();

  // Checks that every opened disk's path can still be looked up and names
  // the file opened, as trvs is now: after giving up root the destination
  // checks must still stat the paths (search permission on their folders is
  // enough; the files themselves need no permission). Not thread-safe.
  Status check_paths();

  // With the caller's address: failure lines are limited per peer (see
  // kFailureLinesPerInterval). The group-only forms are the same calls from
  // an unknown peer.
  std::optional<std::int32_t> open_device(const Caller& caller, std::int16_t dest) override;
  std::optional<std::int32_t> replicate(const Caller& caller,
                                        const ReplicateRequest& args) override;
  std::optional<std::int32_t> compare(const Caller& caller, const CompareRequest& args) override;
  std::optional<std::int32_t> close_device(const Caller& caller, std::int16_t dest) override;
  void group_ended(std::uint32_t group) override;

  // Flushes and closes every open disk, whoever opened it (for shutdown).
  // True when every flush succeeded. The descriptors stay (a later
  // open_device could use them); the destructor closes them.
  bool close_all();

  // A peer's failure lines: at most this many per interval, then one line
  // when the first is held back and one with the count once the interval is
  // over (from the peer's next failure, report_suppressed() or the
  // destructor).
  static constexpr std::size_t kFailureLinesPerInterval = 10;
  static constexpr std::chrono::seconds kFailureInterval{10};
  // Logs the counts of the intervals that have ended with lines held back;
  // with `all`, of every interval (at shutdown). Called now and then by
  // trvs's main thread; any thread.
  void report_suppressed(bool all = false);

  // How the digests of replicate and compare were grouped into lane passes
  // so far (connection threads hash their chunks together).
  HashCombiner::Stats lane_stats() const { return hasher_.stats(); }
  // A chunk on its way is announced to the hasher, one per connection
  // thread at a time.
  void chunk_arriving() override { arriving_chunk() = hasher_.expect(); }
  void chunk_arrived() override { arriving_chunk() = {}; }
  // The clock of the failure line limit; tests set a fake one.
  void set_clock(std::function<LineBudget::Clock::time_point()> now) { now_ = std::move(now); }

  // How long open_device waits for a close of the same disk to end before it
  // answers Busy; well below the client's 60 s reply bound, so that the
  // client gets the answer. Tests shorten it.
  static constexpr std::chrono::seconds kCloseWait{20};
  void set_close_wait(std::chrono::milliseconds wait) { close_wait_ = wait; }

 private:
  struct Session;
  struct Disk;
  class Use;

  Disk* find(std::int16_t number);
  // Runs one procedure (`call`); one that runs out of memory answers
  // OutOfMemory instead of ending trvs.
  template <typename Call>
  std::optional<std::int32_t> guarded(const char* procedure, const Caller& caller,
                                      std::int16_t dest, const Call& call);
  std::optional<std::int32_t> do_open_device(const Caller& caller, std::int16_t dest);
  std::optional<std::int32_t> do_close_device(const Caller& caller, std::int16_t dest);
  // Opens one disk's descriptors for open_disks().
  Status open_disk(Disk& disk);
  Status open_session(Disk& disk, std::uint32_t group);
  Status do_replicate(Session& session, const ReplicateRequest& args);
  Status do_compare(Session& session, const CompareRequest& args, bool* identical);
  // Writes `data` at `offset`: directly when aligned and on a block device,
  // inside the image as opened or where blocks could be allocated first,
  // else through the page cache, and then sets `cached`.
  Status write_chunk(Session& session, const std::uint8_t* data, std::size_t length,
                     std::int64_t offset, bool* cached);
  // Allocates the blocks of an image's range (which may lengthen it) ahead
  // of a direct write there; false when it could not.
  bool allocate_ahead(Session& session, std::int64_t offset, std::size_t length);
  // Makes `length` bytes at `offset` zero without writing them: a hole in
  // an image file (whose length was `image_length` or more), BLKZEROOUT on
  // a block device. False when the disk cannot, and the caller writes zeros.
  bool zero_range(Session& session, std::size_t length, std::int64_t offset,
                  std::int64_t image_length, Status* status);
  // Lengthens an image file to `end` bytes unless it is that long already.
  Status grow_image(Session& session, std::int64_t end);
  // Opens the disk's O_DIRECT descriptor unless it has one; false (with the
  // reason in *why) when it cannot.
  bool open_direct(Disk& disk, std::string* why);
  // Returns once a flush that started after the caller's writes has ended,
  // and the destination has been checked (find_change) after it.
  Status wait_durable(Session& session);
  // At the end of an open: the digest map is saved with the image's stamp
  // after a clean close (`status` ok), else discarded.
  void end_map(Session& session, const Status& status);

  // Whether the destination is still what this open vouched for: the path
  // names the file opened, an image is at least as long as what was written
  // or compared identical, and the probe byte reads as before. Empty when it
  // is; else what was found.
  std::string find_change(Session& session);
  // The path names the file opened; else what it names (or the failed stat).
  std::string path_change(const Session& session);
  // An image is at least as long as what this open vouched for; else what
  // was found. Its length goes to *length (when given); a failed fstat to
  // *failed, with nothing found.
  std::string length_change(Session& session, std::int64_t* length, std::string* failed);
  // Before a write: an image is at least as long as what this open vouched
  // for (and its length goes to *length); else the session is lost.
  Status check_length(Session& session, std::int64_t* length = nullptr);
  // Before a compare: the path, and an image's length as check_length (the
  // length going to *length); a change loses the session, a failed fstat
  // fails only this call (ReadFailed).
  Status check_before_compare(Session& session, std::int64_t* length);
  // Marks the session lost for good (the first finding is kept and logged
  // once) and returns its DestinationChanged status.
  Status lose(Session& session, std::string what);
  // DestinationChanged once the session is lost, else ok.
  Status lost_status(Session& session);
  void log_change(const Session& session, const std::string& what) const;
  // Bookkeeping around each write of an image: the written length and the
  // probe byte (see Session).
  struct ProbeTicket {
    bool covers = false;  // the write covers the probe's byte
    std::uint64_t generation = 0;
  };
  ProbeTicket probe_write_starts(Session& session, std::int64_t offset, std::size_t length);
  void probe_write_ended(Session& session, const ProbeTicket& ticket, const std::uint8_t* data,
                         std::size_t length, std::int64_t offset, bool written, bool zero);
  // Bookkeeping around a compare: whether it may give the probe its byte
  // (and the writes it must not overlap), then what it found identical, the
  // range up to `end` and its first non-zero byte.
  ProbeOffer probe_offer(Session& session, std::int64_t offset);
  void compared_identical(Session& session, std::int64_t offset, std::int64_t end,
                          const ProbeOffer& offer, const FirstNonZero& first);
  static void raise_to(std::atomic<std::int64_t>& end, std::int64_t value);
  // Takes the disk's session away from new calls, waits for the calls in
  // progress, flushes and closes. `why` goes into the summary line.
  Status close_session(Disk& disk, std::unique_lock<std::mutex>& lock, const char* why);
  // Logs the failure (limited per peer, when `peer` is given) and returns
  // its code.
  std::int32_t fail(const char* procedure, const Caller& caller, std::int16_t dest,
                    std::optional<std::int64_t> offset, const Status& status, Session* session);
  // An event caused by `peer`, limited as failure lines are; "" = not limited.
  void log_from(const std::string& peer, const Event& event);
  void log(const Event& event) const;

  std::vector<std::unique_ptr<Disk>> disks_;
  LogSink log_;
  HashCombiner& hasher_;
  static HashCombiner::Arrival& arriving_chunk() {
    thread_local HashCombiner::Arrival arrival;
    return arrival;
  }
  DiskIo& io_;
  LineBudget limiter_{kFailureLinesPerInterval, kFailureInterval};
  std::function<LineBudget::Clock::time_point()> now_ = LineBudget::Clock::now;
  std::chrono::milliseconds close_wait_ = kCloseWait;
};
