// The records of asynchronous calls: a fixed table of kMaxAsyncCalls, so
// that a call allocates nothing. A record is claimed by the thread that starts
// a call, completed once by whichever thread learns the outcome (the reader,
// or the starter when the send fails), and freed by RpcAsyncCompleteCall.
// The table has one lock for claiming and freeing; completion is one release
// store that RpcAsyncCompleteCall reads with acquire.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dcerpc/pdu.h"
#include "dcerpc/rpc.h"

namespace rpc {

// At most this many asynchronous calls exist at once (started and not yet
// collected by a final RpcAsyncCompleteCall), process-wide.
constexpr int kMaxAsyncCalls = 16;

// Turns a reply stub into the procedure's result at `reply` (which may be
// null when the caller does not want it). Returns RPC_S_OK or the failure,
// e.g. RPC_X_BAD_STUB_DATA.
using ReplyDecoder = RPC_STATUS (*)(std::span<const std::uint8_t> stub, Syntax syntax, void* reply);

struct AsyncCall;

// Attaches a new call record to `state` (RuntimeInfo) and captures its
// notification fields. Returns null with *status set when `state` was not
// initialised (RPC_S_INVALID_ASYNC_HANDLE), already carries a call
// (RPC_S_CALL_IN_PROGRESS), asks for a notification other than Ioc or none
// (RPC_S_CANNOT_SUPPORT), or the table is full (RPC_S_OUT_OF_RESOURCES).
AsyncCall* claim_async_call(RPC_ASYNC_STATE* state, Syntax syntax, ReplyDecoder decode,
                            RPC_STATUS* status);

// Detaches and frees a record whose call never got under way.
void abandon_async_call(AsyncCall* call);

// Where the reply stub of `call` is assembled.
std::vector<std::uint8_t>* async_call_reply(AsyncCall* call);

// Ends `call` with `status` (RPC_S_OK: the reply stub is complete) and posts
// the one completion packet to the caller's port. Call exactly once.
void complete_async_call(AsyncCall* call, RPC_STATUS status);

// Records in use, for tests that check nothing leaks.
int async_calls_in_use();

}  // namespace rpc
