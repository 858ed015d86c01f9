// The local physical disk that a run copies: its device path, its size in
// bytes and the overlapped handle that the workers read through. The record
// is built, opened and flushed on the main thread before any worker exists,
// only read while workers run, and released after they have all ended.
#pragma once

#include <cstdint>

#include "records/records.h"

// The record itself, source_disk, is declared in records/records.h; it is null
// before build_source_disk and after release_source_disk.

// Creates the zero-filled record, builds its path from the index text as
// typed (not its parsed number) and publishes it, before anything can fail,
// so that the teardown finds it. An index text longer than 110 characters
// leaves the path empty. Replaces (and releases) an earlier record.
void build_source_disk(const wchar_t* src_disk_index);

// Opens the published disk for overlapped reads and sizes it by its full
// length, then logs the size. On failure reports "Open device" or "Read
// device size" with the OS error, keeps no handle and returns false.
bool open_source_disk();

// Flushes the disk's buffers. Reports nothing: on false the caller reports
// "FlushFileBuffers" with the last error at once. The handle stays open.
bool flush_source_disk();

// Closes the handle if open, frees the record and nulls the pointer. Safe
// when nothing was built.
void release_source_disk();
