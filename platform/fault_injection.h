// Test hook: makes a named platform call fail with a chosen Windows error, so
// that every failure path of the client can be driven by a test. Thread-safe.
// When nothing is armed a check costs one relaxed atomic load.
//
// The table is also armed from the environment variable TRV_FAIL_CALL,
// read once, at the first check:
//   TRV_FAIL_CALL="Name:error[:skip[:count]][,Name2:error...]"
// e.g. "ReadFile:23:5:1" fails the sixth ReadFile with ERROR_CRC. Errors are
// decimal or 0x-prefixed hexadecimal. A malformed entry is reported on
// standard error and ignored.
//
// The same file offers shortened bounds: a time-out that the program ships
// with can be made shorter for a test, through set_test_bound or, for a whole
// process, the environment variable TRV_TEST_BOUNDS, read once:
//   TRV_TEST_BOUNDS="name=milliseconds[,name2=milliseconds...]"
// e.g. "rpc.reply=2000" lets a silent server fail a call after 2 s.
//
// Both variables are read only in builds with the test hooks (CMake
// TRV_TEST_HOOKS, on with the tests); other builds ignore them.
#pragma once

#include <string_view>

#include "platform/win32.h"

// Arms a failure of `function` (its Win32 name, e.g. "CreateFileW"): the
// first `skip` calls pass, the next `count` calls fail with `error`
// (count 0: every call from then on). Each armed entry counts the calls of
// its function independently; when several fire at once the oldest wins.
void inject_failure(const char* function, DWORD error, unsigned skip = 0, unsigned count = 1);

// Arms the entries of a list in the TRV_FAIL_CALL format; returns how many
// entries were malformed (each also reported on standard error and skipped).
unsigned arm_failures_from(std::string_view list);

// Disarms everything, including what the environment armed.
void clear_injected_failures();

// True when the call of `function` being made now is to fail; *error gets the
// error to report. Other layers use it to offer the same hook for their own
// functions. It never touches the thread's last error.
bool injected_failure(const char* function, DWORD* error);

// The bound `name` in milliseconds: `shipped` unless a test shortened it.
// A test can only shorten a bound, never lengthen it. Thread-safe; one
// relaxed load when nothing is set.
DWORD test_bound_ms(const char* name, DWORD shipped);

// Sets bound `name` to `milliseconds` for this process (tests only).
void set_test_bound(const char* name, DWORD milliseconds);
