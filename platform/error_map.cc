// The errno → Windows error table and the thread's last error. The last error
// is thread-local and touched only by the surface functions, never by the
// layer's helpers, so nothing internal can overwrite what a caller reads.
#include "platform/error_map.h"

#include <cerrno>

#include "platform/fault_injection.h"

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD error) { last_error = error; }

namespace trv::platform {

DWORD windows_error_from_errno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:  // Windows refuses to open a directory as a file with "access denied".
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
      return ERROR_NOT_READY;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EINVAL:
    case EOVERFLOW:
      return ERROR_INVALID_PARAMETER;
    case EAGAIN:  // EWOULDBLOCK is the same value: a lock held by another opener
      return ERROR_SHARING_VIOLATION;
    case ENOLCK:
      return ERROR_LOCK_VIOLATION;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
      return ERROR_BUSY;
    case ESPIPE:
      return ERROR_NEGATIVE_SEEK;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EFAULT:
      return ERROR_NOACCESS;
    case EINTR:
    case ECANCELED:
      return ERROR_OPERATION_ABORTED;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case EIO:
      return ERROR_IO_DEVICE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD windows_resource_error_from_errno(int error) {
  if (error == EAGAIN || error == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
  return windows_error_from_errno(error);
}

ULONG_PTR overlapped_status_from_error(DWORD error) {
  constexpr ULONG_PTR kStatusEndOfFile = 0xC0000011u;
  if (error == ERROR_SUCCESS) return 0;
  if (error == ERROR_HANDLE_EOF) return kStatusEndOfFile;
  return 0xC0070000u | (error & 0xFFFFu);
}

bool fail_if_injected(const char* function) {
  DWORD error = ERROR_SUCCESS;
  if (!injected_failure(function, &error)) return false;
  SetLastError(error);
  return true;
}

}  // namespace trv::platform
