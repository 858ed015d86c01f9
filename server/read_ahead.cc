// See read_ahead.h. One mutex guards everything but the batch a thread is
// reading or digesting; reads and digests run without it.
#include "server/read_ahead.h"

#include <algorithm>
#include <cstring>

#include "digest/md5_lanes.h"

namespace {

constexpr auto kChunk = static_cast<std::int64_t>(kChunkLength);

// Kept ready ahead of the furthest compare: two batches, so that one is
// read while the compares take the other.
constexpr std::size_t kBatchesAhead = 2;

// Chunks a batch reads: as many as trvc compares at once, so that one batch
// answers them all (and reads go in runs even where there are no lanes);
// narrower lanes digest it in more than one pass.
constexpr std::size_t kBatchChunks = 16;

bool overlaps(std::int64_t offset, std::int64_t length, std::int64_t chunk) {
  return offset < chunk + kChunk && chunk < offset + length;
}

}  // namespace

ReadAhead::ReadAhead(Source source) : source_(std::move(source)) {}

ReadAhead::~ReadAhead() { stop(); }

void ReadAhead::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    work_.notify_all();
    hand_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  if (digesting_.joinable()) digesting_.join();
  std::lock_guard lock(mutex_);
  entries_.clear();
  read_.notify_all();
}

std::uint64_t ReadAhead::answered() const {
  std::lock_guard lock(mutex_);
  return answered_;
}

bool ReadAhead::take(std::int64_t offset, Found* found) {
  std::unique_lock lock(mutex_);
  if (stopping_ || offset < 0 || offset % kChunk != 0 || offset >= source_.limit) return false;
  const auto ahead = static_cast<std::int64_t>(kBatchesAhead * kBatchChunks) * kChunk;
  horizon_ = std::max(horizon_, std::min(offset + kChunk + ahead, source_.limit));
  const auto batch = static_cast<std::int64_t>(kBatchChunks) * kChunk;
  if (!started_) {
    started_ = true;
    if (!allocate(batches_[0])) return false;
    // From the start of the batch this compare falls in: the first compares
    // come sixteen at once, in any order, and this is rarely the lowest.
    next_ = offset / batch * batch;
    thread_ = std::thread([this] { run(); });
  }
  if (!thread_.joinable()) return false;
  // Compares that outran the reading by a batch take it on past themselves.
  if (offset >= next_ + batch) next_ = offset + kChunk;
  if (batch_due()) work_.notify_one();
  // What lies well behind the compares will not be asked for any more.
  while (!entries_.empty() && entries_.begin()->first + ahead < offset) {
    entries_.erase(entries_.begin());
  }
  for (;;) {
    auto it = entries_.find(offset);
    if (it == entries_.end()) {
      // Passed over, forgotten, or not in the next batch: read by the
      // compare. A chunk of the next batch is waited for.
      if (offset < next_ || offset >= next_ + batch || stopping_) return false;
    } else if (it->second.ready) {
      *found = it->second.found;
      entries_.erase(it);
      ++answered_;
      return true;
    }
    read_.wait(lock);
  }
}

void ReadAhead::write_starts(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(mutex_);
  writes_.push_back({offset, length});
  // Entries of whole chunks start at multiples of kChunk.
  auto it = entries_.lower_bound(offset - kChunk + 1);
  while (it != entries_.end() && it->first < offset + length) {
    if (!overlaps(offset, length, it->first)) {
      ++it;
    } else if (it->second.ready) {
      it = entries_.erase(it);
    } else {
      it->second.spoiled = true;
      ++it;
    }
  }
}

void ReadAhead::write_ended(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(mutex_);
  const auto it = std::find_if(writes_.begin(), writes_.end(), [&](const Range& range) {
    return range.offset == offset && range.length == length;
  });
  if (it != writes_.end()) writes_.erase(it);
}

bool ReadAhead::batch_due() const {
  // A whole batch at a time, or what is left before the end.
  return next_ + static_cast<std::int64_t>(kBatchChunks) * kChunk <= horizon_ ||
         (horizon_ == source_.limit && next_ < horizon_);
}

bool ReadAhead::under_write(std::int64_t chunk) const {
  return std::any_of(writes_.begin(), writes_.end(), [&](const Range& range) {
    return overlaps(range.offset, range.length, chunk);
  });
}

bool ReadAhead::allocate(Batch& batch) {
  batch.buffer = allocate_aligned(kBatchChunks * kChunkLength);
  batch.found.resize(kBatchChunks);
  batch.ok.resize(kBatchChunks);
  return batch.buffer != nullptr;
}

bool ReadAhead::start_digesting() {
  if (digesting_started_) return digesting_.joinable();
  digesting_started_ = true;
  try {
    if (!allocate(batches_[1])) return false;
    digesting_ = std::thread([this] { digest_handed(); });
  } catch (const std::exception&) {
    return false;  // the reading thread digests every batch itself
  }
  return true;
}

void ReadAhead::run() {
  std::size_t filling = 0;  // the batch the next read goes into
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || batch_due(); });
    if (stopping_) return;
    Batch& batch = batches_[filling];
    batch.first = next_;
    batch.count = static_cast<std::size_t>(std::min<std::int64_t>(
        static_cast<std::int64_t>(kBatchChunks), (horizon_ - batch.first + kChunk - 1) / kChunk));
    next_ = batch.first + static_cast<std::int64_t>(batch.count) * kChunk;
    // A chunk a write is changing is left to its compare; the others are
    // announced before they are read, so that a write starting meanwhile
    // finds them.
    for (std::size_t i = 0; i < batch.count; ++i) {
      const std::int64_t chunk = batch.first + static_cast<std::int64_t>(i) * kChunk;
      batch.ok[i] = !under_write(chunk) && entries_.emplace(chunk, Entry{}).second;
    }
    read_.notify_all();  // compares waiting for the batch to begin
    lock.unlock();
    const bool waited = read_batch(batch);
    lock.lock();
    if (waited && start_digesting()) {
      // The other batch is free once its digests are out.
      hand_.wait(lock, [&] { return stopping_ || handed_ == nullptr; });
      if (stopping_) return;
      handed_ = &batch;
      hand_.notify_all();
      filling = 1 - filling;
      continue;
    }
    lock.unlock();
    digest_batch(batch);
    lock.lock();
    publish(batch);
  }
}

void ReadAhead::digest_handed() {
  std::unique_lock lock(mutex_);
  for (;;) {
    hand_.wait(lock, [&] { return stopping_ || handed_ != nullptr; });
    if (stopping_) return;
    Batch& batch = *handed_;
    lock.unlock();
    digest_batch(batch);
    lock.lock();
    publish(batch);
    handed_ = nullptr;
    hand_.notify_all();
  }
}

void ReadAhead::publish(const Batch& batch) {
  for (std::size_t i = 0; i < batch.count; ++i) {
    const std::int64_t chunk = batch.first + static_cast<std::int64_t>(i) * kChunk;
    auto it = entries_.find(chunk);
    if (it == entries_.end() || it->second.ready) continue;
    if (!batch.ok[i] || it->second.spoiled) {
      entries_.erase(it);
    } else {
      it->second.found = batch.found[i];
      it->second.ready = true;
    }
  }
  read_.notify_all();
}

bool ReadAhead::read_batch(Batch& batch) {
  // Offers are taken before the reads, as a compare takes its own.
  for (std::size_t i = 0; i < batch.count; ++i) {
    batch.found[i] = Found{};
    if (batch.ok[i] && source_.offer) {
      batch.found[i].offer = source_.offer(batch.first + static_cast<std::int64_t>(i) * kChunk);
    }
  }
  // Each run of chunks to read in one read: from the device, one large
  // request keeps its queue fuller than a chunk at a time.
  bool waited = false;
  for (std::size_t i = 0; i < batch.count;) {
    std::size_t end = i;
    while (end < batch.count && batch.ok[end]) ++end;
    if (end > i) {
      bool uncached = false;
      const Status read = read_zero_filled(*source_.io, source_.fd, source_.direct,
                                           batch.first + static_cast<std::int64_t>(i) * kChunk,
                                           (end - i) * kChunkLength, source_.end,
                                           batch.buffer.get() + i * kChunkLength, &uncached);
      waited = waited || uncached;
      for (std::size_t k = i; k < end; ++k) batch.ok[k] = read.is_ok();
    }
    i = end + 1;
  }
  return waited;
}

void ReadAhead::digest_batch(Batch& batch) {
  const std::uint8_t* data[kBatchChunks];
  std::size_t lengths[kBatchChunks];
  std::uint8_t(*digests[kBatchChunks])[kDigestLength];
  std::size_t hashed = 0;
  for (std::size_t i = 0; i < batch.count; ++i) {
    if (!batch.ok[i]) continue;
    const std::int64_t chunk = batch.first + static_cast<std::int64_t>(i) * kChunk;
    std::uint8_t* bytes = batch.buffer.get() + i * kChunkLength;
    Found& found = batch.found[i];
    if (is_all_zero(bytes, kChunkLength)) {
      std::memcpy(found.digest, kZeroChunkDigest, kDigestLength);
      continue;
    }
    if (found.offer.wanted) find_first_non_zero(bytes, kChunkLength, chunk, &found.first);
    data[hashed] = bytes;
    lengths[hashed] = kChunkLength;
    digests[hashed] = &found.digest;
    ++hashed;
  }
  // The whole batch at once, counted in the passes md5_many makes of it.
  if (hashed == 0) return;
  std::uint8_t results[kBatchChunks][kDigestLength];
  md5_many(data, lengths, results, hashed);
  const std::size_t pass = md5_many_group();
  for (std::size_t done = 0; source_.counted != nullptr && done < hashed; done += pass) {
    source_.counted->count_pass(std::min(pass, hashed - done), kChunkLength / 64);
  }
  for (std::size_t k = 0; k < hashed; ++k) std::memcpy(*digests[k], results[k], kDigestLength);
}
