// What client stubs call: one remote call over a binding handle, synchronous
// or asynchronous, with the request stub given as slices of the caller's own
// buffers. Failures are thrown as RpcException, the runtime's stand-in for
// the exceptions a Windows stub raises; an asynchronous call throws only
// until it is under way and reports later failures through
// RpcAsyncCompleteCall. Any thread; a CallChannel belongs to one thread.
//
// No call waits without end: the bind, the sending of the request and the
// wait for the reply each fail with RPC_S_CALL_CANCELLED once the server has
// made no progress (taken or sent no byte) for kReplyTimeoutMs
// (client_connection.h), and the connection is then closed, never pooled.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "dcerpc/async_call.h"
#include "dcerpc/pdu.h"
#include "dcerpc/rpc.h"
#include "dcerpc/socket.h"

namespace rpc {

struct RpcException {
  RPC_STATUS code;
};

class Binding;
class ClientConnection;

// Starts the keepalive of `binding`'s idle connections now rather than at
// the first asynchronous call (its reader pings them; binding.h), and sets
// `*unanswered` whenever a ping ends without its answer: the caller learns
// that the server has stopped answering even while it makes no call, and
// the server never drops a connection that sits idle before the first call.
// The flag must outlive the binding. RPC_S_INVALID_BINDING for a handle that
// is not a binding, RPC_S_OUT_OF_RESOURCES when the reader cannot start.
RPC_STATUS watch_keepalive(RPC_BINDING_HANDLE binding, std::atomic<bool>* unanswered);

// A bound connection of `binding`, reserved for one call. Constructing it
// connects and binds when no idle connection is pooled, so it is where
// "server unavailable" and bind failures are thrown.
class CallChannel {
 public:
  // Throws RpcException: RPC_S_INVALID_BINDING for a handle that is not a
  // binding, or the failure to connect and bind (RPC_S_CALL_CANCELLED when
  // the bind is not answered within the reply bound).
  CallChannel(RPC_BINDING_HANDLE binding, const BindOffer& offer);
  // Returns the connection to the pool when it is still usable.
  ~CallChannel();
  CallChannel(const CallChannel&) = delete;
  CallChannel& operator=(const CallChannel&) = delete;

  // The transfer syntax negotiated for the call: the stub encodes with it.
  Syntax syntax() const;

  // Sends the request and waits for the reply on this thread. Returns the
  // reply stub, valid until the channel goes away. Throws RpcException with
  // the mapped fault status, RPC_S_CALL_FAILED_DNE when the request could not
  // be sent, RPC_S_CALL_FAILED when the connection was lost,
  // RPC_S_CALL_CANCELLED when the server stopped taking the request or
  // sending the reply for the reply bound, or RPC_S_PROTOCOL_ERROR.
  std::span<const std::uint8_t> call(std::uint16_t opnum, std::span<const ConstBuffer> stub);

  // Starts the call on `state` (initialised and prepared by the caller) and
  // returns once the request has been sent; the reply is waited for by the
  // binding's reader, which posts the completion. Throws RpcException only
  // before anything was sent (a bad or busy state, too many calls, no
  // reader); a failed send completes the call with RPC_S_CALL_FAILED_DNE, or
  // RPC_S_CALL_CANCELLED when the server took no byte for the reply bound.
  // The reader completes a reply that makes no progress for the reply bound
  // with RPC_S_CALL_CANCELLED. The channel is spent afterwards.
  void start_async(std::uint16_t opnum, std::span<const ConstBuffer> stub, RPC_ASYNC_STATE* state,
                   ReplyDecoder decode);

 private:
  Binding* binding_;
  std::unique_ptr<ClientConnection> connection_;
};

}  // namespace rpc
