// Small helpers shared by the client-side runtime functions: the test hook
// that lets a named function fail on demand, and the one place that turns a
// failing status into the thread's last error. Any thread.
#pragma once

#include "platform/fault_injection.h"
#include "platform/win32.h"
#include "dcerpc/rpc.h"

namespace rpc {

// Returns `status` after making it the thread's last error, so that callers
// that report the last error after a failed runtime call report this status.
inline RPC_STATUS fail_with(RPC_STATUS status) {
  SetLastError(static_cast<DWORD>(status));
  return status;
}

// True when a test armed a failure of `function` for this call; *status is
// the armed error, already made the thread's last error.
inline bool injected_status(const char* function, RPC_STATUS* status) {
  DWORD error = 0;
  if (!injected_failure(function, &error)) return false;
  *status = fail_with(static_cast<RPC_STATUS>(error));
  return true;
}

}  // namespace rpc
