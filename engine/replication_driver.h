// One replication from start to end, on the main thread: the run-mode flags,
// the ordered set-up of the process-wide resources, the destination's
// opening, the chunk contexts, the workers, the wait, the result and the
// destination's closing. Everything it creates is published process-wide and
// released by the entry point's teardown, not here.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "records/records.h"

// An accepted command line, as the entry point hands it down. The texts are
// the arguments as typed; the numbers have been checked by the command line.
struct RunArguments {
  const wchar_t* server_addr;
  const wchar_t* server_port;     // used unchanged as the endpoint
  const wchar_t* src_disk_index;  // the device path is built from the text
  std::int32_t dest_disk_index;   // within -32768..32767
  std::int32_t bandwidth_limit;   // KB/s; 0 or less: no limit
  const wchar_t* mode;            // "", "incremental_sync" or "last_incremental_sync"
};

// Runs the replication. Returns 1 when the set-up, the destination's
// opening, the contexts or the workers failed; otherwise 0 only when every
// chunk succeeded and close_device was answered Closed, else 1. Every worker
// it started has ended when it returns.
std::int32_t run_replication(const RunArguments& arguments);

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
bool initialize_client(const RunArguments& arguments);
