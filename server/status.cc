// Names and texts for the server's failure codes and system errors.
#include "server/status.h"

#include <cerrno>
#include <cstring>

#include "service/server_result.h"

static_assert(ReadOnly == kReadOnlyRefusal, "trvc knows the read-only refusal by this value");

const char* failure_name(std::int32_t code) {
  switch (code) {
    case UnknownDisk:
      return "unknown disk";
    case OpenFailed:
      return "cannot open";
    case NotOpen:
      return "not open";
    case BadArguments:
      return "bad arguments";
    case DigestMismatch:
      return "digest mismatch";
    case WriteFailed:
      return "write failed";
    case ReadFailed:
      return "read failed";
    case FlushFailed:
      return "flush failed";
    case PastEnd:
      return "past end";
    case Busy:
      return "busy";
    case DestinationChanged:
      return "destination changed";
    case ReadOnly:
      return "read-only";
    case OutOfMemory:
      return "out of memory";
    case NoSpace:
      return "no space";
  }
  return "unknown failure";
}

std::string describe_errno(const char* what, int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in `buffer`.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return std::string(what) + ": " + text + " (errno " + std::to_string(error) + ")";
}

Status write_failure(std::int32_t code, const char* what, int error) {
  const char* reason = nullptr;
  switch (error) {
    case ENOSPC:
      reason = "no space left on the destination's file system";
      break;
    case EDQUOT:
      reason = "the disk quota on the destination's file system is used up";
      break;
    case EFBIG:
      reason = "the image would pass the largest file its file system holds";
      break;
    default:
      return Status::failure(code, describe_errno(what, error));
  }
  if (code == WriteFailed && error != EFBIG) code = NoSpace;
  return Status::failure(
      code, std::string(what) + ": " + reason + " (errno " + std::to_string(error) + ")");
}
