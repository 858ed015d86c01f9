// The run step of the entry point: runs one replication for an accepted
// command line, releases the process-wide resources in a fixed order, and
// returns the exit code (0 or 1). Main thread only.
#pragma once

int run_and_teardown(const wchar_t* server_addr, const wchar_t* server_port,
                     const wchar_t* src_disk_index, const wchar_t* dest_disk_index,
                     const wchar_t* bandwidth_limit, const wchar_t* mode);
