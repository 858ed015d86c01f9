// The I/O completion port object: a FIFO of completion packets that any
// number of threads wait on. Thread-safe; the queue has its own lock.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/objects.h"
#include "platform/system_completion.h"

namespace trv::platform {

struct CompletionPacket {
  DWORD bytes;
  ULONG_PTR key;
  LPOVERLAPPED overlapped;
  DWORD error;  // ERROR_SUCCESS for a successful operation
};

class CompletionPort : public KernelObject {
 public:
  static constexpr ObjectType kType = ObjectType::Port;
  CompletionPort() : KernelObject(kType) {}

  // Queues a packet; dropped once the port's handle has been closed.
  void post(const CompletionPacket& packet);

  enum class WaitResult { Packet, TimedOut, Closed };
  // Takes the oldest packet, waiting up to `milliseconds` (INFINITE: no
  // limit).
  WaitResult wait(DWORD milliseconds, CompletionPacket* packet);

  // Wakes every waiter; they return Closed.
  void handle_closed() override;

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<CompletionPacket> packets_;  // guarded by mutex_
  bool closed_ = false;                   // guarded by mutex_
};

}  // namespace trv::platform
