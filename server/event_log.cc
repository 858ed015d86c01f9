// Timestamped lines for the trvs log.
#include "server/event_log.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

void EventLog::write(std::string_view message) {
  timeval now;
  ::gettimeofday(&now, nullptr);
  std::tm local;
  ::localtime_r(&now.tv_sec, &local);
  char stamp[64];
  const std::size_t length = std::strftime(stamp, sizeof stamp, "[%Y-%m-%d %H:%M:%S", &local);
  std::string line(stamp, length);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d] ", static_cast<int>(now.tv_usec / 1000));
  line += millis;
  line += message;
  line += '\n';

  std::lock_guard lock(mutex_);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}
