// Asynchronous call records, RpcAsyncInitializeHandle and
// RpcAsyncCompleteCall. The notification fields are copied when the call
// starts: the caller may not touch the state while the call is outstanding,
// and once the outcome is published the state is the caller's again, so the
// completion must not read it afterwards.
#include "dcerpc/async_call.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/system_completion.h"
#include "dcerpc/client_internal.h"

namespace rpc {

enum Phase : int { kFree = 0, kPending = 1, kDone = 2 };

struct AsyncCall {
  std::atomic<int> phase{kFree};
  RPC_ASYNC_STATE* state = nullptr;  // guarded by table_lock while claimed/freed
  Syntax syntax = Syntax::Ndr20;
  ReplyDecoder decode = nullptr;
  RPC_STATUS status = RPC_S_OK;  // written before phase becomes kDone
  std::vector<std::uint8_t> reply;
  RPC_NOTIFICATION_TYPES notification = RpcNotificationTypeNone;
  HANDLE port = nullptr;
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED overlapped = nullptr;
};

namespace {

std::mutex table_lock;
AsyncCall table[kMaxAsyncCalls];

// The record `state` carries, or null when it carries none of ours. Only
// compares addresses, so a state full of garbage is safe to look at.
AsyncCall* record_of(const RPC_ASYNC_STATE* state) {
  auto* candidate = static_cast<AsyncCall*>(state->RuntimeInfo);
  for (AsyncCall& call : table) {
    if (&call == candidate) {
      return call.phase.load(std::memory_order_acquire) != kFree && call.state == state ? &call
                                                                                        : nullptr;
    }
  }
  return nullptr;
}

bool initialised(const RPC_ASYNC_STATE* state) {
  return state != nullptr && state->Size == sizeof(RPC_ASYNC_STATE) &&
         state->Signature == kRpcAsyncSignature;
}

void free_record(AsyncCall* call) {
  std::lock_guard lock(table_lock);
  call->state->RuntimeInfo = nullptr;
  call->state = nullptr;
  call->phase.store(kFree, std::memory_order_release);
}

}  // namespace

AsyncCall* claim_async_call(RPC_ASYNC_STATE* state, Syntax syntax, ReplyDecoder decode,
                            RPC_STATUS* status) {
  if (!initialised(state)) {
    *status = RPC_S_INVALID_ASYNC_HANDLE;
    return nullptr;
  }
  if (state->NotificationType != RpcNotificationTypeNone &&
      state->NotificationType != RpcNotificationTypeIoc) {
    *status = RPC_S_CANNOT_SUPPORT;
    return nullptr;
  }
  std::lock_guard lock(table_lock);
  if (record_of(state) != nullptr) {
    *status = RPC_S_CALL_IN_PROGRESS;
    return nullptr;
  }
  for (AsyncCall& call : table) {
    if (call.phase.load(std::memory_order_relaxed) != kFree) continue;
    call.state = state;
    call.syntax = syntax;
    call.decode = decode;
    call.status = RPC_S_OK;
    call.reply.clear();
    call.notification = state->NotificationType;
    call.port = state->u.IOC.hIOPort;
    call.bytes = state->u.IOC.dwNumberOfBytesTransferred;
    call.key = state->u.IOC.dwCompletionKey;
    call.overlapped = state->u.IOC.lpOverlapped;
    call.phase.store(kPending, std::memory_order_relaxed);
    state->RuntimeInfo = &call;
    return &call;
  }
  *status = RPC_S_OUT_OF_RESOURCES;
  return nullptr;
}

void abandon_async_call(AsyncCall* call) { free_record(call); }

std::vector<std::uint8_t>* async_call_reply(AsyncCall* call) { return &call->reply; }

void complete_async_call(AsyncCall* call, RPC_STATUS status) {
  const RPC_NOTIFICATION_TYPES notification = call->notification;
  const HANDLE port = call->port;
  const DWORD bytes = call->bytes;
  const ULONG_PTR key = call->key;
  const LPOVERLAPPED overlapped = call->overlapped;
  call->status = status;
  call->state->Event = RpcCallComplete;
  call->phase.store(kDone, std::memory_order_release);
  // From here on the record and the state may already be the caller's again.
  if (notification == RpcNotificationTypeIoc) {
    // A port that was closed meanwhile drops the packet; nobody is left to
    // tell. Posted as the system posts its own completions: a failure that a
    // test arms for the program's posts must not swallow the runtime's.
    trv::platform::post_system_completion(port, bytes, key, overlapped);
  }
}

int async_calls_in_use() {
  std::lock_guard lock(table_lock);
  int count = 0;
  for (const AsyncCall& call : table) {
    if (call.phase.load(std::memory_order_relaxed) != kFree) ++count;
  }
  return count;
}

}  // namespace rpc

RPC_STATUS RpcAsyncInitializeHandle(PRPC_ASYNC_STATE async, unsigned int size) {
  RPC_STATUS status;
  if (rpc::injected_status("RpcAsyncInitializeHandle", &status)) return status;
  if (async == nullptr) return rpc::fail_with(RPC_S_INVALID_ASYNC_HANDLE);
  if (size != sizeof(RPC_ASYNC_STATE)) return rpc::fail_with(RPC_S_INVALID_ARG);
  async->Size = size;
  async->Signature = kRpcAsyncSignature;
  async->Lock = 0;
  async->Flags = 0;
  async->StubInfo = nullptr;
  async->RuntimeInfo = nullptr;
  std::memset(async->Reserved, 0, sizeof(async->Reserved));
  return RPC_S_OK;
}

RPC_STATUS RpcAsyncCompleteCall(PRPC_ASYNC_STATE async, void* reply) {
  if (!rpc::initialised(async)) return rpc::fail_with(RPC_S_INVALID_ASYNC_HANDLE);
  rpc::AsyncCall* call;
  {
    std::lock_guard lock(rpc::table_lock);
    call = rpc::record_of(async);
  }
  if (call == nullptr) return rpc::fail_with(RPC_S_INVALID_ASYNC_HANDLE);
  if (call->phase.load(std::memory_order_acquire) == rpc::kPending) {
    return RPC_S_ASYNC_CALL_PENDING;
  }
  RPC_STATUS status = call->status;
  if (status == RPC_S_OK && call->decode != nullptr) {
    status = call->decode(call->reply, call->syntax, reply);
  }
  // A test may replace the outcome of a finished call; it is final all the
  // same.
  RPC_STATUS injected;
  if (rpc::injected_status("RpcAsyncCompleteCall", &injected)) status = injected;
  rpc::free_record(call);
  return status == RPC_S_OK ? RPC_S_OK : rpc::fail_with(status);
}
