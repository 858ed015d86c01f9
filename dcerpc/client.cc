// One remote call over a binding: take a bound connection, send the request
// from the caller's buffers, then either wait for the reply here or hand the
// connection to the binding's reader.
#include "dcerpc/client.h"

#include "dcerpc/binding.h"
#include "dcerpc/client_connection.h"
#include "dcerpc/client_reader.h"

namespace rpc {

RPC_STATUS watch_keepalive(RPC_BINDING_HANDLE binding, std::atomic<bool>* unanswered) {
  Binding* target = Binding::from_handle(binding);
  if (target == nullptr) return RPC_S_INVALID_BINDING;
  target->watch_keepalive(unanswered);
  try {
    target->reader();
  } catch (const RpcException& exception) {
    return exception.code;
  }
  return RPC_S_OK;
}

CallChannel::CallChannel(RPC_BINDING_HANDLE binding, const BindOffer& offer)
    : binding_(Binding::from_handle(binding)) {
  if (binding_ == nullptr) throw RpcException{RPC_S_INVALID_BINDING};
  connection_ = binding_->acquire(offer);
}

CallChannel::~CallChannel() {
  if (connection_ != nullptr) binding_->release(std::move(connection_), true);
}

Syntax CallChannel::syntax() const { return connection_->syntax(); }

std::span<const std::uint8_t> CallChannel::call(std::uint16_t opnum,
                                                std::span<const ConstBuffer> stub) {
  std::vector<std::uint8_t>* reply = connection_->sync_reply();
  const std::uint32_t call_id = connection_->next_call_id();
  connection_->expect_reply(call_id, reply);
  Status s = connection_->send_request(call_id, opnum, stub);
  if (s.is_ok()) s = connection_->receive_reply();
  if (!s.is_ok()) {
    // A fault leaves the connection usable; the destructor pools it again.
    if (!connection_->usable()) binding_->release(std::move(connection_), false);
    throw RpcException{s.code()};
  }
  return *reply;
}

void CallChannel::start_async(std::uint16_t opnum, std::span<const ConstBuffer> stub,
                              RPC_ASYNC_STATE* state, ReplyDecoder decode) {
  RPC_STATUS status = RPC_S_OK;
  AsyncCall* call = claim_async_call(state, connection_->syntax(), decode, &status);
  if (call == nullptr) throw RpcException{status};
  ClientReader* reader;
  try {
    reader = &binding_->reader();
  } catch (const RpcException&) {
    abandon_async_call(call);
    throw;
  }

  // From here on the call is under way: its outcome travels through the
  // completion, never as an exception.
  const std::uint32_t call_id = connection_->next_call_id();
  connection_->expect_reply(call_id, async_call_reply(call));
  Status s = connection_->send_request(call_id, opnum, stub);
  if (!s.is_ok()) {
    binding_->release(std::move(connection_), false);
    complete_async_call(call, s.code());
    return;
  }
  reader->watch(std::move(connection_), call);
}

}  // namespace rpc
