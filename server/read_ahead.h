// Reading ahead of an incremental run's compares. trvc compares whole
// chunks in the order of the disk, sixteen at a time; answered one by one,
// each compare reads its chunk and digests it alone or with the few others
// that arrive with it. From the first compare of a whole chunk on, one
// thread of the open reads the chunks just ahead of the compares (from the
// start of the first one's batch), sixteen chunks (what trvc has in
// flight) at a time, and digests each batch in passes of full lanes; a
// compare then finds its chunk's digest ready, or waits for the batch that
// reads it.
//
// A digest read ahead stands for the chunk only while nothing of this open
// has written into it: a chunk under a write in progress is not read, and a
// write that starts over a chunk being read or read already forgets it. The
// open's writes are the only writers of the disk that trvs knows of; a
// compare that reads for itself sees no more of another program's writes.
//
// Where a batch had to wait for the device, its digests are handed to a
// second thread, so that the next batch is read while they are made; a
// batch the page cache held is digested by the reading thread itself, as
// there is then nothing to overlap but CPU with CPU.
//
// Every member may be called from any thread. The reading thread starts
// with the first compare that may use it, the digesting one with the first
// batch the device gave; stop() or the destructor stops both, and none of
// their reads outlives either.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "digest/hash_combiner.h"
#include "digest/md5.h"
#include "server/aligned_memory.h"
#include "server/disk_io.h"
#include "server/disk_read.h"

class ReadAhead {
 public:
  // What reading a chunk found, and what the open's probe offered before
  // the read began (see DiskStore::probe_offer).
  struct Found {
    std::uint8_t digest[kDigestLength] = {};
    FirstNonZero first;
    ProbeOffer offer;
  };
  // How the open reads its disk, exactly as its compares do: through `fd`
  // and `direct`, with the bytes at or past `end` zero. Chunks at or past
  // `limit` (the disk's length as opened) are never read ahead. `offer` is
  // asked before each chunk is read.
  struct Source {
    DiskIo* io = nullptr;
    int fd = -1;
    DirectReads direct;
    std::int64_t end = 0;
    std::int64_t limit = 0;
    std::function<ProbeOffer(std::int64_t offset)> offer;
    // Where each batch's pass is counted (HashCombiner::count_pass), or null.
    HashCombiner* counted = nullptr;
  };

  explicit ReadAhead(Source source);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // A compare of the whole chunk at `offset` (a multiple of kChunkLength):
  // true, with *found, when the chunk was read ahead (waiting while its
  // batch is being read); false when the caller reads it itself. Either way
  // the reading moves on to the chunks after it.
  bool take(std::int64_t offset, Found* found);

  // Around every write of the open: the chunks the range touches are
  // forgotten, and not read while it runs.
  void write_starts(std::int64_t offset, std::int64_t length);
  void write_ended(std::int64_t offset, std::int64_t length);

  // Ends the reading and waits for the thread. Idempotent.
  void stop();

  // Chunks answered from what was read ahead (for tests and the log).
  std::uint64_t answered() const;

 private:
  struct Entry {
    bool ready = false;    // read; false while its batch is being read
    bool spoiled = false;  // a write touched it while it was read
    Found found;
  };
  struct Range {
    std::int64_t offset;
    std::int64_t length;
  };
  // Up to kBatchChunks chunks from `first`, with what reading them found;
  // ok false for a chunk not to be answered (its compare reads it itself).
  struct Batch {
    std::int64_t first = 0;
    std::size_t count = 0;
    std::vector<Found> found;
    std::vector<bool> ok;
    AlignedBuffer buffer;
  };

  void run();
  void digest_handed();
  // Reads the batch's chunks; true when the device was waited for.
  bool read_batch(Batch& batch);
  // Digests what read_batch read, without the lock; publish() hands the
  // digests to the compares, with it.
  void digest_batch(Batch& batch);
  void publish(const Batch& batch);
  // Gives `batch` its buffer and room for its results; false without memory.
  static bool allocate(Batch& batch);
  // Starts the digesting thread once; false when it cannot run.
  bool start_digesting();
  // Whether the thread has a batch to read; with mutex_ held.
  bool batch_due() const;
  bool under_write(std::int64_t offset) const;

  const Source source_;
  mutable std::mutex mutex_;
  std::condition_variable work_;  // for the reading thread: a batch is due, or stop
  std::condition_variable read_;  // for compares: a batch was read, or stop
  // For both threads: a batch was handed over, or the digesting thread is
  // free again, or stop.
  std::condition_variable hand_;
  std::map<std::int64_t, Entry> entries_;
  std::vector<Range> writes_;  // in progress
  std::int64_t next_ = 0;      // the next chunk to read
  std::int64_t horizon_ = 0;   // read no chunk at or past this
  bool started_ = false;
  bool stopping_ = false;
  std::uint64_t answered_ = 0;
  std::thread thread_;
  // The reading thread fills one batch while the digesting thread may have
  // the other, the one `handed_` names until it is published.
  Batch batches_[2];
  Batch* handed_ = nullptr;
  bool digesting_started_ = false;
  std::thread digesting_;
};
