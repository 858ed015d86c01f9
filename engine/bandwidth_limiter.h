// The pacing of chunks between their read and their digest: at most one pass
// through throttle per interval, across all workers. The main thread sets the
// limiter up before any worker exists and releases it after all have ended;
// workers only call throttle, which any number of them may call at once.
#pragma once

#include <cstdint>

#include "records/records.h"

// The limiter record, bandwidth_limiter, is declared in records/records.h.

// The pacing interval in milliseconds for `bandwidth_limit` KB/s (> 0): with
// r = limit / 1024 whole chunks per second, 1000 / r ms, or 1000 / (r + 10)
// from 40 chunks per second up; below 1024 KB/s one chunk every
// 1024000 / limit ms, so that the asked rate is honoured. 0 means the passes
// are serialised but never delayed.
std::int32_t limiter_interval_ms(std::int32_t bandwidth_limit);

// For a limit of 0 or less creates nothing and returns true. Otherwise
// creates the limiter, publishes it through bandwidth_limiter, sets
// limiter_enabled and returns true; when its semaphore cannot be created,
// reports "CreateSemaphore" with the OS error, publishes nothing, leaves
// limiter_enabled false and returns false. Main thread only.
bool set_up_bandwidth_limiter(std::int32_t bandwidth_limit);

// Blocks the caller until at least one interval has passed since the last
// pass (or since the set-up), then records this pass. Callers are admitted
// one at a time and never spin. Once chunks_halted() holds (a stop, a lost
// link), every caller passes within a fraction of a second. While calls are
// out and none has been answered for 10 s, a pass also waits for an answer
// (or for the halt that the calls' failure brings), so that chunks are not
// sent one interval after another into a server that has gone silent. Only
// while a limiter exists.
void throttle();

// A chunk's call has started, or has been taken from the port (answered or
// failed). Any worker; nothing without a limiter.
void note_call_started();
void note_call_ended();

// Closes the gate and frees the limiter, if one exists; clears
// bandwidth_limiter and limiter_enabled. Main thread, after the workers.
void release_bandwidth_limiter();

// The clock the limiter reads and the sleep it takes. Tests substitute a fake
// clock to drive the pacing without waiting; the program never changes it.
struct LimiterClock {
  std::int64_t (*now_ns)();                    // monotonic nanoseconds
  void (*sleep_ns)(std::int64_t duration_ns);  // may return early
};
extern LimiterClock limiter_clock;
// The steady clock and a plain sleep: the values limiter_clock starts with.
extern const LimiterClock kSteadyLimiterClock;
