// The I/O thread pool. Eight threads keep enough reads in flight to fill a
// disk's queue (the client keeps sixteen 1 MiB reads outstanding) without a
// thread per request. The pool is never torn down: its threads are detached
// and block forever once the process stops submitting.
#include "platform/io_pool.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace trv::platform {
namespace {

constexpr int kIoThreads = 8;

class IoPool {
 public:
  void submit(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      if (start_locked()) {
        jobs_.push_back(std::move(job));
        job = nullptr;
      }
    }
    if (job) {
      // No I/O thread could be started: complete on the caller's thread
      // rather than never.
      job();
      return;
    }
    ready_.notify_one();
  }

 private:
  static void* thread_main(void* self) {
    static_cast<IoPool*>(self)->serve();
    return nullptr;
  }

  void serve() {
    while (true) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
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
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  int started_ = 0;                         // guarded by mutex_
};

}  // namespace

void run_on_io_thread(std::function<void()> job) {
  static IoPool* pool = new IoPool;  // never destroyed: its threads outlive static destruction
  pool->submit(std::move(job));
}

}  // namespace trv::platform
