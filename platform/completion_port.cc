// I/O completion ports. Packets come from the I/O threads, from
// PostQueuedCompletionStatus and from other layers (the RPC runtime posts its
// call completions); any thread may wait.
//
// As on Windows, the thread that began waiting last is served first: its
// stack and caches are the warmest, and the others stay asleep. A packet
// posted while a thread waits goes straight to it, and only that thread is
// woken (a futex of its own), so a woken thread never queues for the lock
// behind the others. Differences from Windows: the concurrency value is
// ignored (no limit on how many waiters run at once); packets are queued
// strictly first in, first out. Closing the port's handle wakes every
// waiter, which returns FALSE with ERROR_ABANDONED_WAIT_0 and no overlapped
// block, and discards queued and later packets. Ports are not waitable with
// WaitForSingleObject.
#include "platform/completion_port.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "platform/error_map.h"

namespace trv::platform {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// Sleeps while `word` holds `expected`, at most `timeout` (null: no limit);
// may return early for no reason.
void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* timeout) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            timeout, nullptr, 0);
}

// Wakes a thread sleeping on `word`. The word may be gone by now (its
// waiter saw the change and returned): the kernel only looks the address
// up, and a later waiter at the same address takes the wake as a spurious
// one.
void futex_wake(std::atomic<std::uint32_t>* word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

}  // namespace

void CompletionPort::post(const CompletionPacket& packet) {
  std::atomic<std::uint32_t>* woken = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (waiters_.empty()) {
      packets_.push_back(packet);
      return;
    }
    Waiter* waiter = waiters_.back();
    waiters_.pop_back();
    waiter->packet = packet;
    waiter->state.store(kHanded, std::memory_order_release);
    woken = &waiter->state;
  }
  futex_wake(woken);
}

CompletionPort::WaitResult CompletionPort::wait(DWORD milliseconds, CompletionPacket* packet) {
  Waiter self;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return WaitResult::Closed;
    if (!packets_.empty()) {
      *packet = packets_.front();
      packets_.pop_front();
      return WaitResult::Packet;
    }
    if (milliseconds == 0) return WaitResult::TimedOut;
    waiters_.push_back(&self);
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::uint32_t state = self.state.load(std::memory_order_acquire);
  while (state == kWaiting) {
    timespec left{};
    if (milliseconds != INFINITE) {
      const auto ns = std::chrono::nanoseconds(deadline - Clock::now()).count();
      if (ns <= 0) break;
      left.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      left.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    futex_wait(&self.state, kWaiting, milliseconds == INFINITE ? nullptr : &left);
    state = self.state.load(std::memory_order_acquire);
  }
  if (state == kWaiting) {
    // Timed out, unless a post or the close took this waiter meanwhile.
    std::lock_guard lock(mutex_);
    state = self.state.load(std::memory_order_acquire);
    if (state == kWaiting) {
      waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
      return WaitResult::TimedOut;
    }
  }
  if (state == kClosed) return WaitResult::Closed;
  *packet = self.packet;
  return WaitResult::Packet;
}

void CompletionPort::handle_closed() {
  std::vector<std::atomic<std::uint32_t>*> woken;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    packets_.clear();
    for (Waiter* waiter : waiters_) {
      woken.push_back(&waiter->state);
      waiter->state.store(kClosed, std::memory_order_release);
    }
    waiters_.clear();
  }
  for (auto* word : woken) futex_wake(word);
}

BOOL post_system_completion(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
  auto object = find<CompletionPort>(port);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  object->post(CompletionPacket{bytes, key, overlapped, ERROR_SUCCESS});
  return TRUE;
}

}  // namespace trv::platform

using trv::platform::CompletionPacket;
using trv::platform::CompletionPort;

BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, ULONG_PTR* completion_key,
                               LPOVERLAPPED* overlapped, DWORD milliseconds) {
  using namespace trv::platform;
  if (overlapped == nullptr || bytes == nullptr || completion_key == nullptr) {
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  *overlapped = nullptr;
  if (fail_if_injected("GetQueuedCompletionStatus")) return FALSE;
  auto object = find<CompletionPort>(port);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  CompletionPacket packet{};
  switch (object->wait(milliseconds, &packet)) {
    case CompletionPort::WaitResult::TimedOut:
      return fail(WAIT_TIMEOUT, FALSE);
    case CompletionPort::WaitResult::Closed:
      return fail(ERROR_ABANDONED_WAIT_0, FALSE);
    case CompletionPort::WaitResult::Packet:
      break;
  }
  *bytes = packet.bytes;
  *completion_key = packet.key;
  *overlapped = packet.overlapped;
  if (packet.error != ERROR_SUCCESS) return fail(packet.error, FALSE);
  return TRUE;
}

BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR completion_key,
                                LPOVERLAPPED overlapped) {
  using namespace trv::platform;
  if (fail_if_injected("PostQueuedCompletionStatus")) return FALSE;
  return post_system_completion(port, bytes, completion_key, overlapped);
}
