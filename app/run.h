// The run step of the entry point: runs one replication for an accepted
// command line, releases the process-wide resources in a fixed order, and
// returns the exit code (0 or 1). Main thread only.
#pragma once

#include "engine/replication_driver.h"

int run_and_teardown(const RunArguments& arguments);

// Releases what the run created, in a fixed order, skipping whatever was never
// created: worker thread handles, the completion port, the dispenser, the
// source disk, the RPC connection and its heap, the limiter, the chunk
// contexts. Called only after every worker has ended.
void release_process_resources();
