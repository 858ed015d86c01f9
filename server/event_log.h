// The log of trvs: one line per event on a file descriptor (standard error),
// each starting with the local time to the millisecond. Any thread may write;
// lines never interleave.
#pragma once

#include <mutex>
#include <string_view>

class EventLog {
 public:
  explicit EventLog(int fd) : fd_(fd) {}
  // Writes "[YYYY-MM-DD HH:MM:SS.mmm] message\n". Write errors are ignored:
  // a log that cannot be written must not stop the server.
  void write(std::string_view message);

 private:
  std::mutex mutex_;  // one line at a time
  int fd_;
};
