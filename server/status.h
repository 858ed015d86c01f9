// The result of one step inside trvs: success, or one of the server's own
// failure codes with a message saying why. A plain value; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

// The codes trvs answers when a procedure fails. None of them is one of the
// success results (100..108), so any of them is a failure to the client.
// docs/trvs.md lists them for users; keep the two in step.
enum StoreFailure : std::int32_t {
  UnknownDisk = 1,     // the disk number was not given to trvs with --disk
  OpenFailed = 2,      // the disk's path could not be opened or sized
  NotOpen = 3,         // the disk is not open by the caller's association group
  BadArguments = 4,    // a length, an offset or a digest size is out of range
  DigestMismatch = 5,  // the data does not have the digest sent with it; nothing written
  WriteFailed = 6,     // writing the data failed
  ReadFailed = 7,      // reading for a compare failed
  FlushFailed = 8,     // the data could not be made durable (this or an earlier flush)
  // Non-zero data beyond the end of a fixed-size disk, or beyond the largest
  // size a growable image may reach (--max-size); nothing written.
  PastEnd = 9,
  Busy = 10,  // another association group has the disk open
  // The path no longer names the file opened, or the file lost bytes that
  // were written (truncated, replaced, removed); sticky for the open.
  DestinationChanged = 11,
  ReadOnly = 12,  // replicate on a disk served with --verify-disk; nothing written
  // Memory for the call could not be had; the call did nothing, later calls
  // may succeed.
  OutOfMemory = 13,
  // The destination's file system is full (or the writer's quota is used
  // up): a write failed for want of space, perhaps after part of the chunk.
  NoSpace = 14,
};

// A short name for a failure code, for the log ("digest mismatch").
const char* failure_name(std::int32_t code);

class [[nodiscard]] Status {
 public:
  static Status ok() { return Status(0, {}); }
  static Status failure(std::int32_t code, std::string message) {
    return Status(code, std::move(message));
  }

  bool is_ok() const { return code_ == 0; }
  std::int32_t code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(std::int32_t code, std::string message) : code_(code), message_(std::move(message)) {}

  std::int32_t code_;
  std::string message_;
};

// "what: strerror(error)", for messages about a failed system call.
std::string describe_errno(const char* what, int error);

// A failed write or flush (`what` is the call) answered with `code`
// (WriteFailed or FlushFailed), in the words of the destination: a full file
// system or quota is said as such, and makes a write NoSpace; a flush keeps
// FlushFailed, since what it lost may be more than its own write.
Status write_failure(std::int32_t code, const char* what, int error);
