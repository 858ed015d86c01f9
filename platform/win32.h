// The Win32 subset that the client is written against, implemented on POSIX.
// This one header is the platform's whole surface; on Windows it is
// <windows.h> itself (with <winioctl.h> for the disk queries), and nothing
// below is compiled. Every function may be called from any thread; the last
// error is per thread. Known differences from Windows are listed in README.md.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#else

#include <cstddef>
#include <cstdint>

// ---- Types -----------------------------------------------------------------

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using WCHAR = wchar_t;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using HANDLE = void*;
using LPDWORD = DWORD*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INFINITE 0xFFFFFFFFu

struct OVERLAPPED {
  ULONG_PTR Internal;      // status of the operation (0 = success, else an NTSTATUS-like code)
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// A critical section: a mutex that its owner may enter again (as on
// Windows), spinning up to its spin count before it blocks. The storage is
// opaque and large enough for the implementation.
struct CRITICAL_SECTION {
  alignas(16) unsigned char opaque[64];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// As on Windows, a 64-bit value that can also be taken in halves.
union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct GET_LENGTH_INFORMATION {
  LARGE_INTEGER Length;
};

enum MEDIA_TYPE : int { FixedMedia = 12 };

// 24 bytes, as on Windows x64.
struct DISK_GEOMETRY {
  LONGLONG Cylinders;  // LARGE_INTEGER on Windows
  MEDIA_TYPE MediaType;
  DWORD TracksPerCylinder;
  DWORD SectorsPerTrack;
  DWORD BytesPerSector;
};
static_assert(sizeof(DISK_GEOMETRY) == 24);

// ---- Constants ---------------------------------------------------------------

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u
#define STILL_ACTIVE 259u
#define MAXIMUM_WAIT_OBJECTS 64u

#define HEAP_NO_SERIALIZE 0x00000001u
#define HEAP_GENERATE_EXCEPTIONS 0x00000004u
#define HEAP_ZERO_MEMORY 0x00000008u

// OVERLAPPED::Internal while an operation is in flight.
#define STATUS_PENDING 0x00000103u

#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000u
#define IOCTL_DISK_GET_LENGTH_INFO 0x0007405Cu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

// Windows error numbers used by the layer and its callers.
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NOT_READY 21u
#define ERROR_CRC 23u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_TOO_MANY_POSTS 298u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_ABANDONED_WAIT_0 735u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOACCESS 998u
#define ERROR_IO_DEVICE 1117u
#define ERROR_TIMEOUT 1460u

// ---- Last error ----------------------------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Handles, files and disks ------------------------------------------------------

// "\\.\NAME" opens /dev/trv/NAME (test builds: $TRV_DEVICE_DIR/NAME); any other
// path has "\" turned into "/" and is relative to the working directory.
// Share mode 0 takes an exclusive lock before any truncation: a second opener
// of the same file fails with ERROR_SHARING_VIOLATION.
HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);
BOOL CloseHandle(HANDLE handle);

// On a handle opened with FILE_FLAG_OVERLAPPED and associated with a
// completion port, every completion (also an immediate one) is queued to the
// port. A read that reaches the end of a disk completes with the bytes read.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped);
// Synchronous write at the file's current position (the end for a log).
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
// The length of a file; 0 for a block device (as Wine reports it).
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
// IOCTL_DISK_GET_LENGTH_INFO (GET_LENGTH_INFORMATION) and
// IOCTL_DISK_GET_DRIVE_GEOMETRY (DISK_GEOMETRY) for block devices and regular
// files. Always completes at once.
BOOL DeviceIoControl(HANDLE device, DWORD io_control_code, LPVOID in_buffer, DWORD in_size,
                     LPVOID out_buffer, DWORD out_size, LPDWORD bytes_returned,
                     LPOVERLAPPED overlapped);

// ---- I/O completion ports ------------------------------------------------------------

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR completion_key,
                              DWORD concurrent_threads);
// Time-out: FALSE, last error WAIT_TIMEOUT (258), *overlapped set to null.
// A failed I/O: FALSE with its overlapped, key and byte count, last error set.
BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, ULONG_PTR* completion_key,
                               LPOVERLAPPED* overlapped, DWORD milliseconds);
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR completion_key,
                                LPOVERLAPPED overlapped);

// ---- Threads and synchronisation -------------------------------------------------------

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creation_flags, LPDWORD thread_id);
// Thread handles and semaphores are waitable.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spin_count);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES security, LONG initial_count, LONG maximum_count,
                        LPCWSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count);

// The exit code of a thread, or STILL_ACTIVE while it runs.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);

DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
// The local date and time of day.
void GetLocalTime(SYSTEMTIME* local);
void Sleep(DWORD milliseconds);

// ---- Private heaps ------------------------------------------------------------------------

// A serialised heap; allocations beyond maximum_size (when non-zero) fail
// with null.
HANDLE HeapCreate(DWORD options, SIZE_T initial_size, SIZE_T maximum_size);
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
BOOL HeapDestroy(HANDLE heap);

// ---- Console --------------------------------------------------------------------------------

// Nothing to detach from on Linux: a no-op that succeeds.
BOOL FreeConsole();

// Console control events, and the routine that receives them. On Linux
// SIGINT is CTRL_C_EVENT, SIGHUP CTRL_CLOSE_EVENT and SIGTERM
// CTRL_SHUTDOWN_EVENT.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;
using PHANDLER_ROUTINE = BOOL (*)(DWORD control_type);

// Adds (add TRUE) or removes a handler. Each event is handed, on a thread of
// the platform's own, to the handlers from the last added to the first until
// one returns TRUE; when none does, the process ends as the signal would end
// it. A null handler is ERROR_INVALID_PARAMETER.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Ends the process at once with `exit_code`: no destructors, no flush of
// buffered streams, other threads stopped where they are.
[[noreturn]] void ExitProcess(unsigned exit_code);

#endif  // _WIN32
