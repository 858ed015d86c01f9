// The run step: one replication, then the release of the process-wide
// resources in a fixed order. Main thread only; when the driver returns,
// every worker it started has ended, so nothing is released under a worker.
#include "app/run.h"

#include "disk/source_disk.h"
#include "engine/bandwidth_limiter.h"
#include "engine/replication_driver.h"
#include "log/error_reports.h"
#include "records/records.h"
#include "rpc/rpc_connection.h"

void release_process_resources() {
  release_worker_threads();
  release_completion_port();
  release_chunk_dispenser();
  release_source_disk();
  release_rpc_connection();
  release_bandwidth_limiter();
  release_chunk_contexts();
}

int run_and_teardown(const RunArguments& arguments) {
  // Without the handler a signal ends the process on the spot; the copy
  // itself does not need it, so a failure here is reported and the run goes on.
  if (!SetConsoleCtrlHandler(stop_on_console_control, TRUE)) {
    report_last_error(L"SetConsoleCtrlHandler");
  }
  int result = run_replication(arguments);
  release_process_resources();
  return result;
}
