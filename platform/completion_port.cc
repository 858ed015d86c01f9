// I/O completion ports. Packets come from the I/O threads, from
// PostQueuedCompletionStatus and from other layers (the RPC runtime posts its
// call completions); any thread may wait.
//
// As on Windows, the thread that began waiting last is served first: its
// stack and caches are the warmest, and the others stay asleep. A packet
// posted while a thread waits goes straight to it, and only that thread is
// woken (a futex of its own), so a woken thread never queues for the lock
// behind the others. A packet posted by a thread that is running on the port
// (it took its last packet there and has not waited since) wakes nobody: the
// poster is about to come back for it, and a thread woken for it would only
// take what the poster then sleeps without. Windows does the same when the
// running threads of a port reach its concurrency value; here it is one
// packet per thread, and a thread that ends or waits on another port first
// hands its held packet to a waiter. Differences from Windows: the
// concurrency value is otherwise ignored; packets are queued first in, first
// out, but one posted while a held one waits for its thread may reach a
// waiter before it. Closing the port's handle wakes every waiter, which
// returns FALSE with ERROR_ABANDONED_WAIT_0 and no overlapped block, and
// discards queued and later packets. Ports are not waitable with
// WaitForSingleObject.
#include "platform/completion_port.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>

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

// The port this thread took its last packet from and has not waited on
// since, and whether a packet it posted there is held for it. A thread that
// ends holding one hands it on.
struct PortThread {
  std::weak_ptr<CompletionPort> running;
  const CompletionPort* running_at = nullptr;  // running's address, to compare without a lock
  bool holds = false;

  ~PortThread() { hand_on(); }

  void hand_on() {
    if (holds) {
      if (auto port = running.lock()) port->release_held();
    }
    holds = false;
  }
};

thread_local PortThread port_thread;

// Whether a packet this thread posts to `port` is to wait for it; counted
// as held when so.
bool hold_for_this_thread(const CompletionPort* port) {
  PortThread& self = port_thread;
  if (self.holds || self.running_at != port || self.running.expired()) return false;
  self.holds = true;
  return true;
}

}  // namespace

void CompletionPort::post(const CompletionPacket& packet) {
  std::atomic<std::uint32_t>* woken = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (waiters_.empty() || hold_for_this_thread(this)) {
      packets_.push_back(packet);
      return;
    }
    woken = hand_to_last_waiter(packet);
  }
  futex_wake(woken);
}

std::atomic<std::uint32_t>* CompletionPort::hand_to_last_waiter(const CompletionPacket& packet) {
  Waiter* waiter = waiters_.back();
  waiters_.pop_back();
  waiter->packet = packet;
  waiter->state.store(kHanded, std::memory_order_release);
  return &waiter->state;
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

void CompletionPort::release_held() {
  std::atomic<std::uint32_t>* woken = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (packets_.empty() || waiters_.empty()) return;
    woken = hand_to_last_waiter(packets_.front());
    packets_.pop_front();
  }
  futex_wake(woken);
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

std::size_t CompletionPort::sleeping() const {
  std::lock_guard lock(mutex_);
  return waiters_.size();
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
  // A thread waits on one port at a time: a packet it holds elsewhere goes
  // on without it; one held here is what it takes first.
  PortThread& self = port_thread;
  if (self.running_at != object.get()) self.hand_on();
  self.running.reset();
  self.running_at = nullptr;
  self.holds = false;
  CompletionPacket packet{};
  const CompletionPort::WaitResult result = object->wait(milliseconds, &packet);
  if (result == CompletionPort::WaitResult::Packet) {
    self.running = object;
    self.running_at = object.get();
  }
  switch (result) {
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
