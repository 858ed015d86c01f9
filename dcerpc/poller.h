// Waits for input on a set of sockets, for the reply reader. poller_posix.cc
// is epoll with an eventfd to wake it; poller_windows.cc is WSAPoll over the
// registered sockets with a loopback datagram socket to wake it. One thread
// calls wait(); add(), remove() and wake() may be called from any thread.
// Readiness is level-triggered: a socket with unread input is reported by
// every wait until it is read or removed.
#pragma once

#include <mutex>
#include <vector>

#include "dcerpc/rpc_status.h"
#include "dcerpc/socket.h"

namespace rpc {

class Poller {
 public:
  Poller() = default;
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Makes the wake-up channel; kOutOfResources when the system refuses.
  Status open();

  // Reports `socket` to wait() with `tag` (never null) when input, the end
  // of its stream or an error is there. False when the system refused it.
  bool add(NativeSocket socket, void* tag);
  // Stops reporting `socket`; a wait() under way may still report it once.
  void remove(NativeSocket socket);

  // Waits up to `milliseconds` (negative: no bound) for ready sockets or a
  // wake(), and puts the tags of up to `capacity` ready sockets in `tags`.
  // The count (0 after a wake-up or the time-out), or -1 when waiting failed.
  int wait(int milliseconds, void** tags, int capacity);
  // Ends the wait() under way, or the next one.
  void wake();

 private:
  NativeSocket wait_handle_ = -1;  // epoll on Linux; unused on Windows
  NativeSocket wake_handle_ = -1;  // eventfd on Linux; a datagram socket on Windows
  // Windows only: the registered sockets, which wait() polls.
  struct Entry {
    NativeSocket socket;
    void* tag;
  };
  std::mutex lock_;
  std::vector<Entry> entries_;  // guarded by lock_
};

}  // namespace rpc
