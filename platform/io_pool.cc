// The I/O thread pool. Eight threads keep enough reads in flight to fill a
// disk's queue (the client keeps sixteen 1 MiB reads outstanding) without a
// thread per request. The pool is never torn down: its threads are detached
// and block forever once the process stops submitting. Jobs wait in a ring
// that doubles when full and never shrinks.
#include "platform/io_pool.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace trv::platform {
namespace {

constexpr int kIoThreads = 8;

class IoPool {
 public:
  // Takes the job over: `job` is left empty.
  void submit(IoJob& job) {
    {
      std::lock_guard lock(mutex_);
      if (start_locked() && push_locked(job)) {
        ready_.notify_one();
        return;
      }
    }
    // No I/O thread could be started, or no room had: complete on the
    // caller's thread rather than never.
    job.run_and_destroy(job.storage);
  }

 private:
  static void* thread_main(void* self) {
    static_cast<IoPool*>(self)->serve();
    return nullptr;
  }

  void serve() {
    while (true) {
      IoJob job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return count_ > 0; });
        IoJob& slot = ring_[head_];
        slot.relocate(slot.storage, job.storage);
        job.run_and_destroy = slot.run_and_destroy;
        job.relocate = slot.relocate;
        head_ = (head_ + 1) % ring_.size();
        --count_;
      }
      job.run_and_destroy(job.storage);
    }
  }

  // Moves `job` to the ring's tail; false when the ring could not grow.
  bool push_locked(IoJob& job) {
    if (count_ == ring_.size() && !grow_locked()) return false;
    IoJob& slot = ring_[(head_ + count_) % ring_.size()];
    job.relocate(job.storage, slot.storage);
    slot.run_and_destroy = job.run_and_destroy;
    slot.relocate = job.relocate;
    ++count_;
    return true;
  }

  bool grow_locked() {
    std::vector<IoJob> bigger;
    try {
      bigger.resize(ring_.empty() ? 32 : 2 * ring_.size());
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (std::size_t i = 0; i < count_; ++i) {
      IoJob& from = ring_[(head_ + i) % ring_.size()];
      from.relocate(from.storage, bigger[i].storage);
      bigger[i].run_and_destroy = from.run_and_destroy;
      bigger[i].relocate = from.relocate;
    }
    ring_.swap(bigger);
    head_ = 0;
    return true;
  }

  // Starts the threads on first use, and again while none could be started;
  // true when at least one thread serves the queue.
  bool start_locked() {
    if (started_ > 0) return true;
    for (int i = 0; i < kIoThreads; ++i) {
      pthread_t thread;
      if (pthread_create(&thread, nullptr, &IoPool::thread_main, this) != 0) break;
      pthread_detach(thread);
      ++started_;
    }
    return started_ > 0;
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<IoJob> ring_;  // guarded by mutex_; slots head_.. hold count_ jobs
  std::size_t head_ = 0;     // guarded by mutex_
  std::size_t count_ = 0;    // guarded by mutex_
  int started_ = 0;          // guarded by mutex_
};

}  // namespace

void submit_io_job(IoJob& job) {
  static IoPool* pool = new IoPool;  // never destroyed: its threads outlive static destruction
  pool->submit(job);
}

}  // namespace trv::platform
