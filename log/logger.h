// The one process-wide log: each message becomes one timestamped, levelled
// line in ".\TRV.log" (UTF-16LE, no byte-order mark, lines ended by a line
// feed) and the same line, as UTF-8, on standard output (Debug, Info) or
// standard error (Error, Fatal). Any thread may log at any time; one lock
// keeps each line whole in the file and on the console.
#pragma once

#include <string>

#include "platform/win32.h"

enum LogLevel : int { Debug = 0, Info = 1, Error = 2, Fatal = 3 };

class Logger {
 public:
  // Returns the one logger, creating it on the first call: the log file is
  // created (an existing one truncated) at that moment. When the lock or the
  // file cannot be created, the process ends here with exit status 1 after a
  // message on standard error; the caller never sees a half-made logger.
  static Logger& instance();

  // Formats one line and writes it to the file and to its console stream.
  // Reports nothing to the caller and leaves the thread's last error as it
  // found it. A level outside Debug..Fatal is a programming error: the line
  // is dropped and nothing is written anywhere.
  void write(int level, const std::wstring& message);
  void info(const std::wstring& message) { write(Info, message); }
  void error(const std::wstring& message) { write(Error, message); }

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  Logger();
  // Runs at process exit: closes the file and deletes the lock.
  ~Logger();

  std::wstring path_;
  HANDLE file_ = nullptr;  // guarded by lock_ once the logger exists
  CRITICAL_SECTION lock_;  // serialises one line's file write and echo
};
