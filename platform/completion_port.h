// The I/O completion port object: a FIFO of completion packets that any
// number of threads wait on, the most recent waiter first. A packet posted by
// a thread that is running on the port (it took a packet and has not waited
// since) waits for that thread instead of waking another. Thread-safe; the
// queue has its own lock.
#pragma once

#include <atomic>
#include <cstddef>
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

  // Queues a packet; dropped once the port's handle has been closed. A
  // packet from a thread running on this port wakes nobody: that thread
  // takes it (or whatever is oldest) at its next wait, or hands it on if it
  // waits elsewhere or ends first. One such packet per thread at a time.
  void post(const CompletionPacket& packet);

  enum class WaitResult { Packet, TimedOut, Closed };
  // Takes the oldest packet, waiting up to `milliseconds` (INFINITE: no
  // limit). GetQueuedCompletionStatus notes that the thread runs on the port
  // once it has one.
  WaitResult wait(DWORD milliseconds, CompletionPacket* packet);

  // A held packet whose thread will not wait here again goes to the most
  // recent waiter, if any (for the thread's bookkeeping).
  void release_held();

  // Wakes every waiter; they return Closed.
  void handle_closed() override;

  // Threads asleep in wait() (for tests).
  std::size_t sleeping() const;

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

  // Under mutex_: gives `packet` to the most recent waiter (there is one)
  // and returns the word to wake it by once the lock is let go.
  std::atomic<std::uint32_t>* hand_to_last_waiter(const CompletionPacket& packet);

  mutable std::mutex mutex_;
  // Guarded by mutex_. While a waiter sleeps, only held packets are queued,
  // no more of them than there are threads holding one.
  std::deque<CompletionPacket> packets_;
  std::vector<Waiter*> waiters_;  // guarded by mutex_; most recent last
  bool closed_ = false;           // guarded by mutex_
};

}  // namespace trv::platform
