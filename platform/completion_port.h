// The I/O completion port object: a FIFO of completion packets that any
// number of threads wait on, the most recent waiter first. Thread-safe; the
// queue has its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

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
  // A thread in wait() with no packet queued. A post hands its packet
  // straight to the most recent waiter and wakes that thread alone, which
  // then returns without taking the lock again.
  struct Waiter {
    // kWaiting until a packet is handed over or the port closes; set under
    // mutex_, and waited on (futex) without it.
    std::atomic<std::uint32_t> state{kWaiting};
    CompletionPacket packet{};
  };
  static constexpr std::uint32_t kWaiting = 0;
  static constexpr std::uint32_t kHanded = 1;
  static constexpr std::uint32_t kClosed = 2;

  std::mutex mutex_;
  std::deque<CompletionPacket> packets_;  // guarded by mutex_; no waiter while not empty
  std::vector<Waiter*> waiters_;          // guarded by mutex_; most recent last
  bool closed_ = false;                   // guarded by mutex_
};

}  // namespace trv::platform
