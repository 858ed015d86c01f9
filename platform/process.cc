// Process and thread identity, the local time, Sleep and the console. Any
// thread may call.
//
// Differences from Windows: ids are Linux's getpid() and gettid(); a
// thread's id can equal a process id. FreeConsole detaches from nothing and
// always succeeds (unless a failure is injected). GetLocalTime has whole
// seconds (wMilliseconds is 0) and the zone of the TZ variable.
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/error_map.h"

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

// Not cached: a forked child's thread must not report its parent's id.
DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

void GetLocalTime(SYSTEMTIME* local) {
  const std::time_t now = std::time(nullptr);
  std::tm fields{};
  localtime_r(&now, &fields);
  *local = {};
  local->wYear = static_cast<WORD>(fields.tm_year + 1900);
  local->wMonth = static_cast<WORD>(fields.tm_mon + 1);
  local->wDayOfWeek = static_cast<WORD>(fields.tm_wday);
  local->wDay = static_cast<WORD>(fields.tm_mday);
  local->wHour = static_cast<WORD>(fields.tm_hour);
  local->wMinute = static_cast<WORD>(fields.tm_min);
  local->wSecond = static_cast<WORD>(fields.tm_sec);
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    while (true) ::pause();
  }
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

BOOL FreeConsole() {
  if (trv::platform::fail_if_injected("FreeConsole")) return FALSE;
  return TRUE;
}
