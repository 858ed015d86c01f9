// A small fixed pool of threads that performs overlapped reads and writes
// (pread/pwrite) so that the caller's thread never blocks on the disk.
// Threads start on first use and live as long as the process. Thread-safe.
// A job is kept in place in the pool's queue, so that a steady stream of
// reads allocates nothing: the queue grows only past its largest length.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace trv::platform {

// What a queued job may capture, at most.
constexpr std::size_t kIoJobCapture = 96;

// A callable of up to kIoJobCapture bytes, type-erased and stored in place.
struct IoJob {
  alignas(std::max_align_t) unsigned char storage[kIoJobCapture];
  // Runs the callable at `self` and destroys it.
  void (*run_and_destroy)(void* self) = nullptr;
  // Moves the callable from `from` to the raw storage `to`, destroying it at
  // `from`.
  void (*relocate)(void* from, void* to) = nullptr;
};

// Queues `job` (already placed in an IoJob) to run on one of the I/O
// threads, first in, first out.
void submit_io_job(IoJob& job);

// Queues `work` to run on one of the I/O threads, first in, first out.
template <typename Work>
void run_on_io_thread(Work work) {
  static_assert(sizeof(Work) <= kIoJobCapture && alignof(Work) <= alignof(std::max_align_t),
                "an I/O job captures too much");
  static_assert(std::is_nothrow_move_constructible_v<Work>);
  IoJob job;
  new (job.storage) Work(std::move(work));
  job.run_and_destroy = [](void* self) {
    Work* w = static_cast<Work*>(self);
    (*w)();
    w->~Work();
  };
  job.relocate = [](void* from, void* to) {
    Work* w = static_cast<Work*>(from);
    new (to) Work(std::move(*w));
    w->~Work();
  };
  submit_io_job(job);
}

}  // namespace trv::platform
