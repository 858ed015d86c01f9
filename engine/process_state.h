// Process-wide values of one replication run. The main thread sets them up
// before any worker exists; workers then only read them, except RunStatus and
// last_progress_ticks, which workers write as single aligned 32-bit values,
// and stop_requested, which the console control handler's thread sets.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

enum RunStatusValue : std::int32_t {
  Succeeded = 0,
  Failed = 1,
  Running = 2,
};

constexpr int kWorkerCount = 16;

extern std::atomic<std::int32_t> RunStatus;  // a RunStatusValue, initially Running
extern bool compare_first;                   // initially false
extern bool flush_before_start;              // initially true
extern bool limiter_enabled;                 // initially false
extern std::atomic<std::int32_t> last_progress_ticks;
// Set once by the console control handler (a signal on Linux); from then on
// no worker claims another chunk.
extern std::atomic<bool> stop_requested;

extern HANDLE CompletionPort;                 // null until created
extern HANDLE WorkerThreads[kWorkerCount];    // all null until created

// Milliseconds since the process started, from a monotonic clock: the
// reading that the progress line's speed is computed from.
std::int32_t process_clock_ms();
