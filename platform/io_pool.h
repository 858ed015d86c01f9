// A small fixed pool of threads that performs overlapped reads and writes
// (pread/pwrite) so that the caller's thread never blocks on the disk.
// Threads start on first use and live as long as the process. Thread-safe.
#pragma once

#include <functional>

namespace trv::platform {

// Queues `job` to run on one of the I/O threads, first in, first out.
void run_on_io_thread(std::function<void()> job);

}  // namespace trv::platform
