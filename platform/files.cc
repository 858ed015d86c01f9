// Files and disks: CreateFileW, ReadFile, WriteFile, FlushFileBuffers,
// DeviceIoControl and the association of files with completion ports. A
// file handle may be used from any number of threads at once; overlapped
// operations run on the I/O threads (a read the page cache holds whole, on
// the caller's thread) and report to the handle's port. What a read finds
// outside the page cache is read past it (O_DIRECT) when the range allows.
//
// Differences from Windows:
// - "\\.\NAME" is /dev/trv/NAME (in builds with the test hooks
//   $TRV_DEVICE_DIR/NAME when that is set); NAME may not contain a path
//   separator or be "." or "..", else ERROR_FILE_NOT_FOUND.
//   Other paths have "\" turned into "/"; there are no drive letters.
// - Sharing is approximated with flock(): share mode 0 takes an exclusive
//   lock, any other share mode a shared one, both before any truncation. So
//   share mode 0 refuses and is refused by every other opener (error 32),
//   while openers with non-zero share modes never refuse each other whatever
//   access they ask for. Locks bind to the inode: two different device nodes
//   of one disk do not see each other's locks.
// - ENOENT is always ERROR_FILE_NOT_FOUND, also for a missing directory.
// - Opening a directory fails with ERROR_ACCESS_DENIED (no backup semantics).
// - Flags other than FILE_FLAG_OVERLAPPED and FILE_FLAG_WRITE_THROUGH, the
//   attributes, security and template are ignored.
// - An overlapped ReadFile/WriteFile on a handle associated with a port
//   returns FALSE with ERROR_IO_PENDING, or TRUE for a read that the page
//   cache held whole (read at once, on the caller's thread); either way its
//   completion, success or failure, is queued to the port. On an overlapped
//   handle that has no port the operation is performed at once, on the
//   caller's thread, and its result returned directly (there are no events
//   to signal).
// - A read that starts at or past the end of the file or disk completes with
//   ERROR_HANDLE_EOF and 0 bytes; one that reaches the end completes with the
//   bytes read. A read or write that fails part way reports the error with
//   the bytes transferred before it.
// - Closing a handle does not cancel its overlapped operations: they finish,
//   and their completions are still queued.
// - FlushFileBuffers needs write access, as on Windows.
// - GetFileSizeEx gives 0 for a block device (Windows fails the call on a
//   disk handle; Wine, which the Windows build is tested on, gives 0).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/completion_port.h"
#include "platform/error_map.h"
#include "platform/fault_injection.h"
#include "platform/io_pool.h"
#include "platform/page_cache.h"
#include "platform/text.h"

namespace trv::platform {
namespace {

class File : public KernelObject {
 public:
  static constexpr ObjectType kType = ObjectType::File;
  File(int fd, DWORD access, bool overlapped)
      : KernelObject(kType), fd_(fd), access_(access), overlapped_(overlapped) {}
  ~File() override {
    ::close(fd_);
    if (direct_fd_ >= 0) ::close(direct_fd_);
  }

  int fd() const { return fd_; }
  bool can_read() const { return (access_ & GENERIC_READ) != 0; }
  bool can_write() const { return (access_ & GENERIC_WRITE) != 0; }
  bool overlapped() const { return overlapped_; }

  // Windows refuses a second association of a handle.
  Status associate(std::shared_ptr<CompletionPort> port, ULONG_PTR key) {
    std::lock_guard lock(mutex_);
    if (port_) return Status::failure(ERROR_INVALID_PARAMETER);
    port_ = std::move(port);
    key_ = key;
    return Status::ok();
  }

  std::shared_ptr<CompletionPort> port(ULONG_PTR* key) {
    std::lock_guard lock(mutex_);
    *key = key_;
    return port_;
  }

  // A second descriptor of the same file or disk that reads past the page
  // cache (O_DIRECT), opened on first need; -1 for other kinds of file, when
  // the file system refuses direct reads, or once one was refused.
  int direct_fd() {
    std::call_once(direct_once_, [this] {
      struct stat st;
      if (!can_read() || ::fstat(fd_, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        return;
      }
      // Through the descriptor, not the name: the same file even if the name
      // now leads elsewhere.
      const std::string self = "/proc/self/fd/" + std::to_string(fd_);
      direct_fd_ = ::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    });
    return direct_refused_.load(std::memory_order_relaxed) ? -1 : direct_fd_;
  }
  void refuse_direct() { direct_refused_.store(true, std::memory_order_relaxed); }

 private:
  const int fd_;
  const DWORD access_;
  const bool overlapped_;
  std::once_flag direct_once_;
  int direct_fd_ = -1;  // set once, under direct_once_
  std::atomic<bool> direct_refused_{false};
  std::mutex mutex_;
  std::shared_ptr<CompletionPort> port_;  // guarded by mutex_
  ULONG_PTR key_ = 0;                     // guarded by mutex_
};

// Where "\\.\NAME" lives. Only a build with the test hooks lets the
// environment move it: an installed program opens the documented folder and
// nothing a stray variable names.
std::string device_folder() {
#ifdef TRV_TEST_HOOKS
  const char* dir = std::getenv("TRV_DEVICE_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
#endif
  return "/dev/trv";
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The POSIX path for a Win32 file name, or an error.
Status translate_path(std::wstring_view name, std::string* path) {
  if (name.empty()) return Status::failure(ERROR_PATH_NOT_FOUND);
  if (name.size() >= 4 && is_separator(name[0]) && is_separator(name[1]) && name[2] == L'.' &&
      is_separator(name[3])) {
    const std::wstring_view device = name.substr(4);
    if (device.empty() || device == L"." || device == L".." ||
        device.find_first_of(L"\\/") != std::wstring_view::npos ||
        device.find(L'\0') != std::wstring_view::npos) {
      return Status::failure(ERROR_FILE_NOT_FOUND);
    }
    *path = device_folder();
    *path += '/';
    *path += to_utf8(device);
    return Status::ok();
  }
  *path = to_utf8(name);
  for (char& c : *path) {
    if (c == '\\') c = '/';
  }
  return Status::ok();
}

struct Opened {
  int fd = -1;
  bool existed = false;
};

// Opens `path`, creating it when `create` is set, and says whether it was
// there before. O_EXCL first so that "created" is known exactly.
Status open_path(const std::string& path, int flags, bool create, bool must_be_new,
                 Opened* opened) {
  if (!create) {
    opened->fd = ::open(path.c_str(), flags);
    opened->existed = true;
    return opened->fd < 0 ? Status::from_errno(errno) : Status::ok();
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    opened->fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
    if (opened->fd >= 0) {
      opened->existed = false;
      return Status::ok();
    }
    if (errno != EEXIST) return Status::from_errno(errno);
    if (must_be_new) return Status::failure(ERROR_FILE_EXISTS);
    opened->fd = ::open(path.c_str(), flags);
    if (opened->fd >= 0) {
      opened->existed = true;
      return Status::ok();
    }
    if (errno != ENOENT) return Status::from_errno(errno);
    // Removed between the two opens: try again.
  }
  return Status::failure(ERROR_SHARING_VIOLATION);
}

// Repeats pread/pwrite until `length` bytes moved, the end of the file, or an
// error. Returns the bytes moved; *error is set on failure.
DWORD transfer(int fd, bool write, void* buffer, DWORD length, std::uint64_t offset, DWORD* error) {
  DWORD done = 0;
  *error = ERROR_SUCCESS;
  while (done < length) {
    auto* at = static_cast<char*>(buffer) + done;
    const off_t position = static_cast<off_t>(offset + done);
    const ssize_t n = write ? ::pwrite(fd, at, length - done, position)
                            : ::pread(fd, at, length - done, position);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = windows_error_from_errno(errno);
      return done;
    }
    if (n == 0) {
      if (write) {
        *error = ERROR_DISK_FULL;
      } else if (done == 0) {
        *error = ERROR_HANDLE_EOF;
      }
      return done;
    }
    done += static_cast<DWORD>(n);
  }
  return done;
}

// Sequential transfer at the file's position (synchronous handles without an
// OVERLAPPED block). A write goes on until everything is written; a read
// returns what one read() gives, as ReadFile does on a pipe, and succeeds
// with 0 bytes at the end of a file.
DWORD transfer_at_position(int fd, bool write, void* buffer, DWORD length, DWORD* error) {
  DWORD done = 0;
  *error = ERROR_SUCCESS;
  while (done < length) {
    auto* at = static_cast<char*>(buffer) + done;
    const ssize_t n = write ? ::write(fd, at, length - done) : ::read(fd, at, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = windows_error_from_errno(errno);
      return done;
    }
    if (n == 0) {
      if (write) *error = ERROR_DISK_FULL;
      return done;
    }
    done += static_cast<DWORD>(n);
    if (!write) return done;
  }
  return done;
}

std::uint64_t overlapped_offset(const OVERLAPPED* overlapped) {
  return (static_cast<std::uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
}

void finish_overlapped(OVERLAPPED* overlapped, DWORD bytes, DWORD error) {
  overlapped->InternalHigh = bytes;
  overlapped->Internal = overlapped_status_from_error(error);
}

// The positioned transfer of an OVERLAPPED operation, on whichever thread
// completes it. Tests can fail a read here, in its completion, rather than
// in the call ("ReadFile.completion").
DWORD complete_transfer(const File& file, bool write, void* buffer, DWORD length,
                        std::uint64_t offset, DWORD* error) {
  if (!write && injected_failure("ReadFile.completion", error)) return 0;
  return transfer(file.fd(), write, buffer, length, offset, error);
}

// Reads a range the page cache held none of. Aligned to 4096 bytes (offset,
// length and buffer), it is read past the page cache: filling the cache
// costs about as much CPU as the copy out of it, and a disk's blocks are not
// read again soon. What a direct read leaves (the end of the file within the
// range, or a device that refuses the alignment) is read the ordinary way,
// which also reports any error.
DWORD read_uncached(File& file, void* buffer, DWORD length, std::uint64_t offset, DWORD* error) {
  if (injected_failure("ReadFile.completion", error)) return 0;
  constexpr std::uint64_t kAlignment = 4096;
  DWORD done = 0;
  const int direct = (reinterpret_cast<std::uintptr_t>(buffer) | offset | length) % kAlignment == 0
                         ? file.direct_fd()
                         : -1;
  if (direct >= 0) {
    ssize_t n = 0;
    do {
      n = ::pread(direct, buffer, length, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n > 0) done = static_cast<DWORD>(n);
    if (n < 0 && errno == EINVAL) file.refuse_direct();
  }
  if (done == length) return done;
  const DWORD rest = transfer(file.fd(), false, static_cast<char*>(buffer) + done, length - done,
                              offset + done, error);
  // The end of the file right after the direct part: a short read.
  if (done > 0 && rest == 0 && *error == ERROR_HANDLE_EOF) *error = ERROR_SUCCESS;
  return done + rest;
}

// What the page cache holds of a read's range, from its start, without
// waiting for the device: the bytes copied (all of them when it held the
// whole range), 0 when it held not even the first, or an error the device
// might not give.
DWORD read_cached(const File& file, void* buffer, DWORD length, std::uint64_t offset) {
  iovec vector{buffer, length};
  ssize_t n = 0;
  do {
    n = ::preadv2(file.fd(), &vector, 1, static_cast<off_t>(offset), RWF_NOWAIT);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? static_cast<DWORD>(n) : 0;
}

// ReadFile and WriteFile share everything but the direction.
BOOL transfer_file(const char* function, HANDLE handle, bool write, void* buffer, DWORD length,
                   LPDWORD transferred, LPOVERLAPPED overlapped) {
  // Windows zeroes the count before any check.
  if (transferred) *transferred = 0;
  if (fail_if_injected(function)) return FALSE;
  auto file = find<File>(handle);
  if (!file) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (write ? !file->can_write() : !file->can_read()) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (buffer == nullptr && length > 0) return fail(ERROR_NOACCESS, FALSE);
  if (file->overlapped() && overlapped == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (overlapped == nullptr && transferred == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);

  DWORD error = ERROR_SUCCESS;
  DWORD done = 0;
  if (overlapped == nullptr) {
    done = transfer_at_position(file->fd(), write, buffer, length, &error);
    *transferred = done;
    return error == ERROR_SUCCESS ? TRUE : fail(error, FALSE);
  }

  const std::uint64_t offset = overlapped_offset(overlapped);
  if (offset > static_cast<std::uint64_t>(INT64_MAX) - length) {
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  ULONG_PTR key = 0;
  auto port = file->overlapped() ? file->port(&key) : nullptr;
  if (port) {
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    // A read the page cache holds whole needs no I/O thread: handing it over
    // would cost two thread switches for a copy. What it holds in part is
    // kept, and an I/O thread reads the rest.
    const bool from_cache = !write && length > 0;
    const bool uncached = from_cache && page_cache_holds_none(file->fd(), offset, length);
    const DWORD cached = from_cache && !uncached ? read_cached(*file, buffer, length, offset) : 0;
    if (from_cache && cached == length) {
      DWORD io_error = ERROR_SUCCESS;
      // A test may fail the completion, which then comes as if it had waited.
      const bool failed = injected_failure("ReadFile.completion", &io_error);
      const DWORD bytes = failed ? 0 : length;
      finish_overlapped(overlapped, bytes, io_error);
      // Set before the packet is queued: the caller may not look at the
      // block after that.
      if (transferred) *transferred = bytes;
      port->post(CompletionPacket{bytes, key, overlapped, io_error});
      return failed ? fail(ERROR_IO_PENDING, FALSE) : TRUE;
    }
    run_on_io_thread([file, port, key, write, buffer, length, offset, overlapped, cached,
                      uncached] {
      DWORD io_error = ERROR_SUCCESS;
      DWORD bytes = uncached ? read_uncached(*file, buffer, length, offset, &io_error)
                             : complete_transfer(*file, write, static_cast<char*>(buffer) + cached,
                                                 length - cached, offset + cached, &io_error);
      // The end of the file right after the cached part: a short read.
      if (cached > 0 && bytes == 0 && io_error == ERROR_HANDLE_EOF) io_error = ERROR_SUCCESS;
      bytes += cached;
      finish_overlapped(overlapped, bytes, io_error);
      port->post(CompletionPacket{bytes, key, overlapped, io_error});
    });
    return fail(ERROR_IO_PENDING, FALSE);
  }

  done = complete_transfer(*file, write, buffer, length, offset, &error);
  finish_overlapped(overlapped, done, error);
  if (transferred) *transferred = done;
  return error == ERROR_SUCCESS ? TRUE : fail(error, FALSE);
}

// Disks and image files: the size from the kernel for a block device, the
// length for a regular file.
Status disk_length(int fd, std::uint64_t* length, DWORD* sector_size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Status::from_errno(errno);
  *sector_size = 512;
  if (S_ISBLK(st.st_mode)) {
    if (::ioctl(fd, BLKGETSIZE64, length) != 0) return Status::from_errno(errno);
    int logical = 0;
    if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) {
      *sector_size = static_cast<DWORD>(logical);
    }
    return Status::ok();
  }
  if (S_ISREG(st.st_mode)) {
    *length = static_cast<std::uint64_t>(st.st_size);
    return Status::ok();
  }
  return Status::failure(ERROR_INVALID_FUNCTION);
}

}  // namespace
}  // namespace trv::platform

using namespace trv::platform;

HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE /*template_file*/) {
  if (fail_if_injected("CreateFileW")) return INVALID_HANDLE_VALUE;
  if (file_name == nullptr) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  std::string path;
  if (Status s = translate_path(file_name, &path); !s.is_ok()) {
    return fail(s.code(), INVALID_HANDLE_VALUE);
  }

  int flags = O_CLOEXEC | O_NOCTTY;
  const bool read = (desired_access & GENERIC_READ) != 0;
  const bool write = (desired_access & GENERIC_WRITE) != 0;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  if (flags_and_attributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;

  bool create = false, must_be_new = false, truncate = false;
  switch (creation_disposition) {
    case CREATE_NEW:
      create = must_be_new = true;
      break;
    case CREATE_ALWAYS:
      create = truncate = true;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      create = true;
      break;
    case TRUNCATE_EXISTING:
      if (!write) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
      truncate = true;
      break;
    default:
      return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }

  Opened opened;
  if (Status s = open_path(path, flags, create, must_be_new, &opened); !s.is_ok()) {
    return fail(s.code(), INVALID_HANDLE_VALUE);
  }
  const int fd = opened.fd;
  const auto give_up = [fd](DWORD error) {
    ::close(fd);
    return fail(error, INVALID_HANDLE_VALUE);
  };

  struct stat st;
  if (::fstat(fd, &st) != 0) return give_up(windows_error_from_errno(errno));
  if (S_ISDIR(st.st_mode)) return give_up(ERROR_ACCESS_DENIED);

  // The lock comes before the truncation: a refused opener must leave the
  // file as it found it.
  const int lock = share_mode == 0 ? LOCK_EX : LOCK_SH;
  while (::flock(fd, lock | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return give_up(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION
                                        : windows_error_from_errno(errno));
  }
  if (truncate && opened.existed && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
    return give_up(windows_error_from_errno(errno));
  }

  auto file = std::make_shared<File>(fd, desired_access,
                                     (flags_and_attributes & FILE_FLAG_OVERLAPPED) != 0);
  HANDLE handle = register_object(std::move(file));
  // Windows reports whether CREATE_ALWAYS and OPEN_ALWAYS found the file.
  if (creation_disposition == CREATE_ALWAYS || creation_disposition == OPEN_ALWAYS) {
    SetLastError(opened.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  }
  return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped) {
  return transfer_file("ReadFile", file, false, buffer, bytes_to_read, bytes_read, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped) {
  return transfer_file("WriteFile", file, true, const_cast<void*>(buffer), bytes_to_write,
                       bytes_written, overlapped);
}

BOOL FlushFileBuffers(HANDLE handle) {
  if (fail_if_injected("FlushFileBuffers")) return FALSE;
  auto file = find<File>(handle);
  if (!file) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!file->can_write()) return fail(ERROR_ACCESS_DENIED, FALSE);
  while (::fsync(file->fd()) != 0) {
    if (errno != EINTR) return fail(windows_error_from_errno(errno), FALSE);
  }
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file_handle, PLARGE_INTEGER size) {
  if (fail_if_injected("GetFileSizeEx")) return FALSE;
  auto file = find<File>(file_handle);
  if (!file) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (size == nullptr) return fail(ERROR_NOACCESS, FALSE);
  struct stat status {};
  if (::fstat(file->fd(), &status) != 0) return fail(windows_error_from_errno(errno), FALSE);
  size->QuadPart = S_ISREG(status.st_mode) ? static_cast<LONGLONG>(status.st_size) : 0;
  return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD io_control_code, LPVOID /*in_buffer*/, DWORD /*in_size*/,
                     LPVOID out_buffer, DWORD out_size, LPDWORD bytes_returned,
                     LPOVERLAPPED overlapped) {
  if (fail_if_injected("DeviceIoControl")) return FALSE;
  auto file = find<File>(device);
  if (!file) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (overlapped == nullptr && bytes_returned == nullptr) {
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (bytes_returned) *bytes_returned = 0;

  std::uint64_t length = 0;
  DWORD sector_size = 0;
  DWORD size_needed = 0;
  switch (io_control_code) {
    case IOCTL_DISK_GET_LENGTH_INFO:
      size_needed = sizeof(GET_LENGTH_INFORMATION);
      break;
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      size_needed = sizeof(DISK_GEOMETRY);
      break;
    default:
      return fail(ERROR_INVALID_FUNCTION, FALSE);
  }
  if (out_buffer == nullptr || out_size < size_needed) {
    return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  if (Status s = disk_length(file->fd(), &length, &sector_size); !s.is_ok()) {
    return fail(s.code(), FALSE);
  }

  if (io_control_code == IOCTL_DISK_GET_LENGTH_INFO) {
    GET_LENGTH_INFORMATION info{};
    info.Length.QuadPart = static_cast<LONGLONG>(length);
    std::memcpy(out_buffer, &info, sizeof(info));
  } else {
    // The geometry Windows reports for disks: 255 heads and 63 sectors per
    // track, whole cylinders only, so it can be smaller than the length.
    DISK_GEOMETRY geometry{};
    geometry.MediaType = FixedMedia;
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.BytesPerSector = sector_size;
    geometry.Cylinders = static_cast<LONGLONG>(length / (255ull * 63ull * sector_size));
    std::memcpy(out_buffer, &geometry, sizeof(geometry));
  }
  if (bytes_returned) *bytes_returned = size_needed;
  if (overlapped) {
    finish_overlapped(overlapped, size_needed, ERROR_SUCCESS);
    // As on Windows, an operation that completes at once on a handle bound
    // to a port still queues its completion there.
    ULONG_PTR key = 0;
    if (auto port = file->overlapped() ? file->port(&key) : nullptr) {
      port->post(CompletionPacket{size_needed, key, overlapped, ERROR_SUCCESS});
    }
  }
  return TRUE;
}

HANDLE CreateIoCompletionPort(HANDLE file_handle, HANDLE existing_port, ULONG_PTR completion_key,
                              DWORD /*concurrent_threads*/) {
  if (fail_if_injected("CreateIoCompletionPort")) return nullptr;
  std::shared_ptr<File> file;
  if (file_handle != INVALID_HANDLE_VALUE) {
    file = find<File>(file_handle);
    if (!file) return fail(ERROR_INVALID_HANDLE, nullptr);
    if (!file->overlapped()) return fail(ERROR_INVALID_PARAMETER, nullptr);
  } else if (existing_port != nullptr) {
    return fail(ERROR_INVALID_PARAMETER, nullptr);
  }

  std::shared_ptr<CompletionPort> port;
  if (existing_port != nullptr) {
    port = find<CompletionPort>(existing_port);
    if (!port) return fail(ERROR_INVALID_HANDLE, nullptr);
  } else {
    port = std::make_shared<CompletionPort>();
  }
  if (file) {
    if (Status s = file->associate(port, completion_key); !s.is_ok()) {
      return fail(s.code(), nullptr);
    }
  }
  return existing_port != nullptr ? existing_port : register_object(std::move(port));
}
