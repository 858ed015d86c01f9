// The platform's internal error value and the one errno → Windows table.
// Inside the layer operations return a Status; only the Win32 surface turns
// it into the thread's last error, once, right before returning.
#pragma once

#include "platform/win32.h"

namespace trv::platform {

// The Windows error number for an errno value; unknown values become
// ERROR_GEN_FAILURE (31).
DWORD windows_error_from_errno(int error);

// Like windows_error_from_errno, for calls that fail when the process is out
// of a resource (thread creation): EAGAIN and ENOMEM become
// ERROR_NOT_ENOUGH_MEMORY instead of the lock-conflict meaning of EAGAIN.
DWORD windows_resource_error_from_errno(int error);

// An NTSTATUS-like value for OVERLAPPED::Internal: 0 for success,
// STATUS_END_OF_FILE for ERROR_HANDLE_EOF, 0xC0070000 | error otherwise.
ULONG_PTR overlapped_status_from_error(DWORD error);

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status ok() { return Status(); }
  static Status failure(DWORD code) { return Status(code); }
  static Status from_errno(int error) { return Status(windows_error_from_errno(error)); }

  bool is_ok() const { return code_ == ERROR_SUCCESS; }
  DWORD code() const { return code_; }

 private:
  explicit Status(DWORD code) : code_(code) {}
  DWORD code_ = ERROR_SUCCESS;
};

// Sets the last error and hands back `value`, for `return fail(...)` at the
// surface.
template <typename T>
T fail(DWORD error, T value) {
  SetLastError(error);
  return value;
}

// Consults the fault-injection table for `function`; when armed, sets the
// last error to the injected value and returns true.
bool fail_if_injected(const char* function);

}  // namespace trv::platform
