// The disks that trvs serves, and the four procedures on them. The RPC server
// calls the procedures concurrently from its connection threads; every method
// of DiskStore may be called from any thread at any time.
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
// A destination that changes under an open is never taken for written: after
// each flush and at the close the path must still name the file opened, an
// image must be at least as long as what the open wrote (also checked before
// each write) and one written byte (the probe, in the lowest non-zero chunk
// written) must read back as written. The first check that fails makes every
// later replicate, compare and the close of that open answer
// DestinationChanged. Known limit: a cut to a length above the probe that a
// concurrent write grows back before any check runs goes unseen.
//
// Writes: chunks whose offset and length are multiples of the disk's logical
// block size go through a second descriptor opened with O_DIRECT, which skips
// the page cache (buffered writes of whole images cost more CPU than the rest
// of the server). Everything else, and every read, uses the ordinary
// descriptor. A chunk of zero bytes on an image file becomes a
// FALLOC_FL_ZERO_RANGE instead of a write. Where the kernel refuses either,
// that disk falls back to plain buffered writes for the rest of its open.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rpc/service_server.h"
#include "server/status.h"

// Largest chunk trvs accepts in replicate and compare. The client sends 1 MiB;
// the margin leaves room for larger chunks while bounding a peer's demands.
inline constexpr std::int64_t kMaxChunkLength = 4 * 1048576;
// Digests are MD5: exactly this many bytes.
inline constexpr std::size_t kDigestLength = 16;

struct DiskConfig {
  std::int16_t number = 0;
  std::string path;
  // Never write past the length the file has when it is opened, as for a
  // block device. Block devices are always fixed-size; image files grow
  // unless this is set.
  bool fixed_size = false;
};

class DiskStore final : public ReplicationHandler {
 public:
  // Receives one event line (no timestamp, no line end) at a time; called
  // from any thread, possibly concurrently. May be empty.
  using LogSink = std::function<void(const std::string&)>;

  // Makes an open file's completed writes durable: fdatasync, returning 0 or
  // -1 with errno set. Tests put a fake here to fail or observe flushes.
  using FlushCall = std::function<int(int fd)>;

  // The O_DIRECT side of a disk. Empty members mean the system calls; tests
  // put fakes here to refuse direct I/O, as some file systems do, or to see
  // which writes took that path.
  struct DirectIo {
    // Opens the second descriptor: open(2), with O_DIRECT among `flags`.
    std::function<int(const char* path, int flags)> open;
    // Writes through it: pwrite(2), returning the count or -1 with errno set.
    std::function<std::int64_t(int fd, const void* data, std::size_t length, std::int64_t offset)>
        write;
  };

  // The numbers in `disks` must be distinct. Nothing is opened yet. An empty
  // `flush` means fdatasync.
  DiskStore(std::vector<DiskConfig> disks, LogSink log, FlushCall flush = {}, DirectIo direct = {});
  // Flushes and closes whatever is still open.
  ~DiskStore() override;

  DiskStore(const DiskStore&) = delete;
  DiskStore& operator=(const DiskStore&) = delete;

  std::optional<std::int32_t> open_device(std::uint32_t group, std::int16_t dest) override;
  std::optional<std::int32_t> replicate(std::uint32_t group, const ReplicateArgs& args) override;
  std::optional<std::int32_t> compare(std::uint32_t group, const CompareArgs& args) override;
  std::optional<std::int32_t> close_device(std::uint32_t group, std::int16_t dest) override;
  void group_ended(std::uint32_t group) override;

  // Flushes and closes every open disk, whoever opened it (for shutdown).
  // True when every flush succeeded.
  bool close_all();

 private:
  struct Session;
  struct Disk;
  class Use;

  Disk* find(std::int16_t number);
  Status open_session(Disk& disk, std::uint32_t group);
  Status do_replicate(Session& session, const ReplicateArgs& args);
  Status do_compare(Session& session, const CompareArgs& args, bool* identical);
  // Writes `data` at `offset`: directly when aligned, else buffered.
  Status write_chunk(Session& session, const std::uint8_t* data, std::size_t length,
                     std::int64_t offset);
  // Makes `length` bytes at `offset` of an image file zero without writing
  // them. False when the file system cannot, and the caller writes zeros.
  bool zero_range(Session& session, std::size_t length, std::int64_t offset, Status* status);
  // Opens the O_DIRECT descriptor of a freshly opened session, or notes why not.
  void open_direct(Disk& disk, Session& session);
  // Returns once a flush that started after the caller's writes has ended,
  // and the destination has been checked (find_change) after it.
  Status wait_durable(Session& session);

  // Whether the destination is still what this open wrote: the path names
  // the file opened, an image is at least as long as what was written, and
  // the probe byte reads as written. Empty when it is; else what was found.
  std::string find_change(Session& session);
  // An image is at least as long as what this open wrote; else the session
  // is lost.
  Status check_length(Session& session);
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
  // Takes the disk's session away from new calls, waits for the calls in
  // progress, flushes and closes. `why` goes into the summary line.
  Status close_session(Disk& disk, std::unique_lock<std::mutex>& lock, const char* why);
  std::int32_t fail(const char* procedure, std::uint32_t group, std::int16_t dest,
                    std::optional<std::int64_t> offset, const Status& status, Session* session);
  void log(const std::string& line) const;

  std::vector<std::unique_ptr<Disk>> disks_;
  LogSink log_;
  FlushCall flush_;
  DirectIo direct_;
};
