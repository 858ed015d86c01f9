// Timestamped lines for the trvs log.
#include "server/event_log.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

void EventLog::write(const Event& event) {
  timeval now;
  ::gettimeofday(&now, nullptr);
  const std::string line = format_event_line(now, event, format_, journal_);

  std::lock_guard lock(mutex_);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

bool EventLog::is_journal_stream(int fd) {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (!value) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char end = 0;
  if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  return st.st_dev == device && st.st_ino == inode;
}
