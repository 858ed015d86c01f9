// Process and thread identity, Sleep and the console. Any thread may call.
//
// Differences from Windows: ids are Linux's getpid() and gettid(); a
// thread's id can equal a process id. FreeConsole detaches from nothing and
// always succeeds (unless a failure is injected).
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/error_map.h"

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

// Not cached: a forked child's thread must not report its parent's id.
DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

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
