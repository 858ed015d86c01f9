// Console control handlers on top of POSIX signals. A signal handler may do
// almost nothing, so it only writes the event to a pipe; one watcher thread,
// started with the first handler, reads the pipe and runs the handlers there,
// where they may take locks and log like any other thread.
//
// Differences from Windows: the events are SIGINT (CTRL_C_EVENT), SIGHUP
// (CTRL_CLOSE_EVENT) and SIGTERM (CTRL_SHUTDOWN_EVENT), also after
// FreeConsole; CTRL_BREAK_EVENT and CTRL_LOGOFF_EVENT never arrive. A handler
// that returns TRUE keeps the process running for every event (Windows ends
// the process after a close, logoff or shutdown handler returns). The
// handlers' own thread runs one event at a time, so a handler that blocks
// holds back later events. Handlers cannot be removed while an event is
// being handled (the call fails with ERROR_BUSY).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/error_map.h"

namespace {

constexpr int kSignals[] = {SIGINT, SIGHUP, SIGTERM};

struct Handlers {
  std::mutex mutex;
  std::vector<PHANDLER_ROUTINE> routines;  // guarded by mutex; run from the back
  bool started = false;                    // guarded by mutex
  bool handling = false;                   // guarded by mutex
};

Handlers& handlers() {
  static Handlers* instance = new Handlers;  // the watcher outlives static destruction
  return *instance;
}

int pipe_write_end = -1;

void on_signal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] ssize_t ignored = ::write(pipe_write_end, &byte, 1);
  errno = saved;
}

DWORD event_of(int signal) {
  switch (signal) {
    case SIGINT:
      return CTRL_C_EVENT;
    case SIGHUP:
      return CTRL_CLOSE_EVENT;
    default:
      return CTRL_SHUTDOWN_EVENT;
  }
}

void watch(int read_end) {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t got = ::read(read_end, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got != 1) return;
    std::vector<PHANDLER_ROUTINE> routines;
    {
      std::lock_guard lock(handlers().mutex);
      routines = handlers().routines;
      handlers().handling = true;
    }
    bool handled = false;
    for (auto it = routines.rbegin(); it != routines.rend() && !handled; ++it) {
      handled = (*it)(event_of(byte)) != FALSE;
    }
    {
      std::lock_guard lock(handlers().mutex);
      handlers().handling = false;
    }
    if (!handled) {
      // Nobody took it: end as the signal ends a program that ignores it.
      ::signal(byte, SIG_DFL);
      ::raise(byte);
    }
  }
}

// Called with the mutex held. False with the errno when the pipe, the
// thread or a signal action cannot be had.
bool start_watcher(int* error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *error = errno;
    return false;
  }
  try {
    std::thread(watch, fds[0]).detach();
  } catch (const std::system_error& failure) {
    ::close(fds[0]);
    ::close(fds[1]);
    *error = failure.code().value();
    return false;
  }
  pipe_write_end = fds[1];
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals) {
    if (::sigaction(signal, &action, nullptr) != 0) {
      *error = errno;
      return false;
    }
  }
  return true;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (trv::platform::fail_if_injected("SetConsoleCtrlHandler")) return FALSE;
  if (handler == nullptr) return trv::platform::fail(ERROR_INVALID_PARAMETER, FALSE);
  Handlers& table = handlers();
  std::lock_guard lock(table.mutex);
  if (!add) {
    if (table.handling) return trv::platform::fail(ERROR_BUSY, FALSE);
    auto it = std::find(table.routines.rbegin(), table.routines.rend(), handler);
    if (it == table.routines.rend()) return trv::platform::fail(ERROR_INVALID_PARAMETER, FALSE);
    table.routines.erase(std::next(it).base());
    return TRUE;
  }
  if (!table.started) {
    int error = 0;
    if (!start_watcher(&error))
      return trv::platform::fail(trv::platform::windows_resource_error_from_errno(error), FALSE);
    table.started = true;
  }
  table.routines.push_back(handler);
  return TRUE;
}

void ExitProcess(unsigned exit_code) { ::_exit(static_cast<int>(exit_code)); }
