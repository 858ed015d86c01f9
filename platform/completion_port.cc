// I/O completion ports. Packets come from the I/O threads, from
// PostQueuedCompletionStatus and from other layers (the RPC runtime posts its
// call completions); any thread may wait.
//
// Differences from Windows: the concurrency value is ignored (no limit on
// how many waiters run at once, and no preference for the most recent
// waiter); waiters are served in no particular order, packets strictly
// first in, first out. Closing the port's handle wakes every waiter, which
// returns FALSE with ERROR_ABANDONED_WAIT_0 and no overlapped block, and
// discards queued and later packets. Ports are not waitable with
// WaitForSingleObject.
#include "platform/completion_port.h"

#include <chrono>

#include "platform/error_map.h"

namespace trv::platform {

void CompletionPort::post(const CompletionPacket& packet) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    packets_.push_back(packet);
  }
  ready_.notify_one();
}

CompletionPort::WaitResult CompletionPort::wait(DWORD milliseconds, CompletionPacket* packet) {
  std::unique_lock lock(mutex_);
  const auto has_work = [this] { return closed_ || !packets_.empty(); };
  if (milliseconds == INFINITE) {
    ready_.wait(lock, has_work);
  } else if (!ready_.wait_for(lock, std::chrono::milliseconds(milliseconds), has_work)) {
    return WaitResult::TimedOut;
  }
  if (closed_) return WaitResult::Closed;
  *packet = packets_.front();
  packets_.pop_front();
  return WaitResult::Packet;
}

void CompletionPort::handle_closed() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    packets_.clear();
  }
  ready_.notify_all();
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
