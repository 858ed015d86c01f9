// One replication from start to end, on the main thread: the run-mode flags,
// the ordered set-up of the process-wide resources, the destination's
// opening, the chunk contexts, the workers, the wait, the result and the
// destination's closing. Everything it creates is published process-wide and
// released by the entry point's teardown, not here.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "records/records.h"

// Runs the replication with the command line's texts as typed and the mode
// text ("", "incremental_sync" or "last_incremental_sync"). Returns 1 when
// the set-up, the destination's opening, the contexts or the workers failed,
// otherwise the final RunStatus (0 succeeded, 1 failed). Every worker it
// started has ended when it returns.
std::int32_t run_replication(const wchar_t* server_addr, const wchar_t* server_port,
                             const wchar_t* src_disk_index, const wchar_t* dest_disk_index,
                             const wchar_t* bandwidth_limit, const wchar_t* mode);

// The console control handler of a run (SIGINT, SIGTERM and SIGHUP on
// Linux), called on the platform's handler thread. The first event stops the
// run in order: no chunk is claimed any more, the chunks in flight finish
// under the calls' bounds, the run fails, the driver logs its result and
// closes the destination as after any failure. A second event ends the
// process at once with exit status 1.
BOOL stop_on_console_control(DWORD control_type);

// The ordered set-up: source disk (opened, flushed when asked), limiter,
// dispenser, completion port, RPC connection. Each failure is reported by the
// step that failed; what was created stays published for the teardown.
bool initialize_client(const wchar_t* server_addr, const wchar_t* server_port,
                       const wchar_t* src_disk_index, const wchar_t* bandwidth_limit);

// A base-10 conversion that never fails: leading white space and a sign are
// accepted, conversion stops at the first non-digit, no digit gives 0, and a
// value beyond 32 bits is clamped to the nearest 32-bit limit.
std::int32_t lenient_decimal(const wchar_t* text);
