// The log of trvs: one line per event on a file descriptor (standard error).
// Text lines start with the local time to the millisecond and its zone
// offset; JSON lines are one object per event (server/event_format.h). When
// the descriptor is the journal, each line starts with its syslog priority
// ("<4>") and text lines leave the time to journald. Any thread may write;
// lines never interleave.
#pragma once

#include <mutex>

#include "server/event_format.h"

class EventLog {
 public:
  explicit EventLog(int fd, LogFormat format = LogFormat::Text, bool journal = false)
      : fd_(fd), format_(format), journal_(journal) {}
  // Writes "[YYYY-MM-DD HH:MM:SS.mmm +ZZZZ] TEXT\n" (or its JSON or
  // journal form). Write errors are ignored: a log that cannot be written
  // must not stop the server.
  void write(const Event& event);

  // Whether `fd` is the stream systemd connected to the journal, as named by
  // $JOURNAL_STREAM ("DEVICE:INODE").
  static bool is_journal_stream(int fd);

 private:
  std::mutex mutex_;  // one line at a time
  const int fd_;
  const LogFormat format_;
  const bool journal_;
};
