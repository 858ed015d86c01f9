// Source disk access. The size is the device's full length: a size taken
// from the drive geometry leaves the tail beyond the last whole cylinder
// uncopied. Where the length query is not offered, the file length stands in. Main thread only; the workers just read the published record.
#include "disk/source_disk.h"

#include <cwchar>
#include <string>

#include "log/error_reports.h"
#include "log/logger.h"

namespace {

constexpr wchar_t kDevicePrefix[] = L"\\\\.\\PhysicalDrive";
constexpr std::size_t kPathCapacity = sizeof(SourceDisk::path) / sizeof(wchar_t);
constexpr std::size_t kPrefixLength = sizeof(kDevicePrefix) / sizeof(wchar_t) - 1;
static_assert(kPrefixLength == 17);

// The size of a disk whose driver does not offer the length query (Wine's
// disks do not; image files on Windows answer "invalid function"): the
// handle's file length. Only those two answers fall back. A length of 0 is
// taken for a device that cannot tell its size (Wine gives 0 for a block
// device), never for an empty disk. On false the last error is the one to
// report: the query's, or the fallback's own.
bool size_from_file_length(HANDLE handle, DWORD query_error, std::uint64_t* size) {
  if (query_error != ERROR_NOT_SUPPORTED && query_error != ERROR_INVALID_FUNCTION) {
    SetLastError(query_error);
    return false;
  }
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(handle, &length)) return false;
  if (length.QuadPart <= 0) {
    SetLastError(query_error);
    return false;
  }
  *size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

}  // namespace

void build_source_disk(const wchar_t* src_disk_index) {
  release_source_disk();
  source_disk = new SourceDisk{};

  const wchar_t* index = src_disk_index != nullptr ? src_disk_index : L"";
  // Look no further than one character past what fits, so an unterminated
  // or huge text is never walked to its end.
  std::size_t index_length = 0;
  while (index_length < kPathCapacity - kPrefixLength && index[index_length] != L'\0') {
    ++index_length;
  }
  if (index_length >= kPathCapacity - kPrefixLength) return;
  std::wmemcpy(source_disk->path, kDevicePrefix, kPrefixLength);
  std::wmemcpy(source_disk->path + kPrefixLength, index, index_length);
  source_disk->path[kPrefixLength + index_length] = L'\0';
}

bool open_source_disk() {
  if (source_disk == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    report_last_error(L"Open device");
    return false;
  }
  if (source_disk->path[0] == L'\0') {
    // The index text did not fit the path; no device has such a name.
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    report_last_error(L"Open device");
    return false;
  }

  HANDLE handle = CreateFileW(source_disk->path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    report_last_error(L"Open device");
    return false;
  }
  source_disk->handle = handle;

  // The query runs on an overlapped handle. Should a driver ever leave it
  // pending, the closing of the handle below cancels it, and the kernel may
  // still complete into the output and the overlapped block; so both live
  // for the whole process rather than on this stack frame.
  static GET_LENGTH_INFORMATION length_info;
  static OVERLAPPED query_overlapped;
  length_info = {};
  query_overlapped = {};
  DWORD returned = 0;
  if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length_info,
                      sizeof(length_info), &returned, &query_overlapped)) {
    source_disk->size = static_cast<std::uint64_t>(length_info.Length.QuadPart);
  } else if (!size_from_file_length(handle, GetLastError(), &source_disk->size)) {
    // Closing the handle may change the last error; report the query's own.
    const DWORD error = GetLastError();
    CloseHandle(handle);
    source_disk->handle = nullptr;
    SetLastError(error);
    report_last_error(L"Read device size");
    return false;
  }

  Logger::instance().info(L"Open device succ, disk size: " + std::to_wstring(source_disk->size));
  return true;
}

bool flush_source_disk() {
  if (source_disk == nullptr || source_disk->handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return FlushFileBuffers(source_disk->handle) != FALSE;
}

void release_source_disk() {
  if (source_disk == nullptr) return;
  if (source_disk->handle != nullptr && source_disk->handle != INVALID_HANDLE_VALUE) {
    CloseHandle(source_disk->handle);
  }
  delete source_disk;
  source_disk = nullptr;
}
