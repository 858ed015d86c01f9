// The chunk worker that each of the 16 worker threads runs, the dispenser
// that hands out chunk offsets, and the progress line. Workers share one
// completion port and the dispenser; a context is touched only by the party
// that holds it, and the dispenser's fields only under its lock.
//
// Besides the port, a worker blocks in two places: in throttle() under a
// bandwidth limit, and in chunk_hasher.digest(), while its chunk goes
// through the vector lanes beside other workers' chunks (a few milliseconds;
// it never waits for chunks that have not come).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "records/records.h"

// The thread routine: takes completions from CompletionPort and moves each
// context one stage on, until no context is left in play and RunStatus is no
// longer Running. Its parameter and result are not used.
DWORD handle_chunks(LPVOID parameter);

// Claims the next chunk: under the lock, hands out next_offset and advances
// it by `step` when it is below total_size. False when the dispenser is empty.
bool take_chunk(ChunkDispenser* dispenser, std::uint32_t step, std::uint64_t* offset);

// Empties the dispenser so that every later take fails: the driver's way of
// stopping workers it started when it cannot start them all.
void drain_dispenser(ChunkDispenser* dispenser);

// Wakes every worker that waits on the port so that it re-checks whether it
// may leave. A wake-up that cannot be posted only delays the worker until
// its wait times out.
void wake_all_workers();

// The speed shown for 100 MiB done in `elapsed_ms` milliseconds, in bytes
// per second, in single precision (infinite for 0 ms).
float progress_speed(std::int32_t elapsed_ms);
// The speed in the largest unit below its value: "%4.2f B/s", "KB/s" or
// "MB/s"; 1024.0 is already "1.00 KB/s", infinity is " inf MB/s".
std::wstring format_speed(float speed);
// "Replicated bytes: <offset>, speed: <speed>".
std::wstring progress_line(std::uint64_t offset, std::int32_t elapsed_ms);
