// The four call operations of ReplicationService. Request heads are encoded
// into stack buffers and the chunk's data is sent straight from its own
// buffer, never copied; the runtime's call channel allocates what a call
// needs (a connection when none is pooled, the reply).
#include "rpc/replication_service.h"

#include <array>
#include <cstdio>
#include <new>
#include <span>

#include "platform/fault_injection.h"
#include "dcerpc/client.h"
#include "service/interface.h"
#include "service/server_result.h"
#include "service/service_ndr.h"

// Every chunk context may have its call outstanding at once.
static_assert(kChunkContextCount <= rpc::kMaxAsyncCalls);

namespace {

// Room for the encoded head of a compare or replicate, with room to spare for
// a kDigestLength digest in either syntax; the encoders return 0 for a
// head that does not fit.
constexpr std::size_t kHeadBuffer = 160;

void write_exception(const char* procedure, RPC_STATUS code) {
  std::fprintf(stderr, "Invoke rpc method %s failed, exception code: %u", procedure,
               static_cast<unsigned>(code));
  std::fflush(stderr);
}

// Runs `call`; any exception becomes the procedure's message and false.
template <typename Call>
bool guarded(const char* procedure, Call&& call) {
  try {
    return call();
  } catch (const rpc::RpcException& exception) {
    write_exception(procedure, exception.code);
  } catch (const std::bad_alloc&) {
    write_exception(procedure, RPC_S_OUT_OF_MEMORY);
  } catch (...) {
    write_exception(procedure, RPC_S_INTERNAL_ERROR);
  }
  return false;
}

RPC_STATUS decode_result(std::span<const std::uint8_t> stub, Syntax, void* reply) {
  std::int32_t result = 0;
  rpc::Status s = decode_result_response(stub, &result);
  if (!s.is_ok()) return s.code();
  if (reply != nullptr) *static_cast<std::int32_t*>(reply) = result;
  return RPC_S_OK;
}

// Tests can make the stub's entry into the runtime raise, as the runtime
// itself would, through the names of the Windows entry points.
void raise_if_injected(const char* entry_point) {
  DWORD error = 0;
  if (injected_failure(entry_point, &error))
    throw rpc::RpcException{static_cast<RPC_STATUS>(error)};
}

// The wire type of the disk number is a 16-bit short: its low 16 bits.
std::int16_t low_16_bits(std::int32_t value) { return static_cast<std::int16_t>(value); }

std::int32_t call_device_procedure(std::uint16_t opnum, std::int32_t dest_disk_index) {
  raise_if_injected("NdrClientCall3");
  rpc::CallChannel channel(replication_service_binding, replication_service_offer());
  std::uint8_t stub[kDeviceRequestSize];
  encode_device_request(low_16_bits(dest_disk_index), stub);
  const rpc::ConstBuffer piece{stub, sizeof(stub)};
  std::span<const std::uint8_t> reply = channel.call(opnum, std::span(&piece, 1));
  std::int32_t result = 0;
  if (RPC_STATUS s = decode_result(reply, channel.syntax(), &result); s != RPC_S_OK) {
    throw rpc::RpcException{s};
  }
  return result;
}

// The reference pointers of the chunk's arrays are never null.
std::span<const std::uint8_t> digest_of(const ChunkContext* context) {
  if (context->digest == nullptr) throw rpc::RpcException{RPC_X_NULL_REF_POINTER};
  return {context->digest, context->digest_length};
}

}  // namespace

bool invoke_open_device(std::int32_t dest_disk_index) {
  return guarded("open_device", [&] {
    return call_device_procedure(kOpenDeviceOpnum, dest_disk_index) == Opened;
  });
}

bool invoke_close_device(std::int32_t dest_disk_index, std::optional<std::int32_t>* answer) {
  return guarded("close_device", [&] {
    const std::int32_t result = call_device_procedure(kCloseDeviceOpnum, dest_disk_index);
    if (answer != nullptr) *answer = result;
    return result == Closed;
  });
}

bool invoke_replicate(ChunkContext* context) {
  return guarded("replicate", [&] {
    raise_if_injected("Ndr64AsyncClientCall");
    std::span<const std::uint8_t> digest = digest_of(context);
    if (context->data == nullptr) throw rpc::RpcException{RPC_X_NULL_REF_POINTER};
    rpc::CallChannel channel(replication_service_binding, replication_service_offer());
    std::array<std::uint8_t, kHeadBuffer> head;
    const std::size_t head_length = encode_replicate_head(
        channel.syntax(), low_16_bits(context->dest_disk_index),
        static_cast<std::int64_t>(context->offset), digest, context->data_length, head);
    if (head_length == 0) throw rpc::RpcException{RPC_X_BAD_STUB_DATA};
    const rpc::ConstBuffer pieces[] = {{head.data(), head_length},
                                       {context->data, context->data_length}};
    channel.start_async(kReplicateOpnum, pieces, context->async_state, &decode_result);
    return true;
  });
}

bool invoke_compare(ChunkContext* context) {
  return guarded("compare", [&] {
    raise_if_injected("Ndr64AsyncClientCall");
    std::span<const std::uint8_t> digest = digest_of(context);
    rpc::CallChannel channel(replication_service_binding, replication_service_offer());
    std::array<std::uint8_t, kHeadBuffer> stub;
    const std::size_t length =
        encode_compare_request(channel.syntax(), low_16_bits(context->dest_disk_index),
                               static_cast<std::int64_t>(context->offset), digest,
                               static_cast<std::int32_t>(context->data_length), stub);
    if (length == 0) throw rpc::RpcException{RPC_X_BAD_STUB_DATA};
    const rpc::ConstBuffer piece{stub.data(), length};
    channel.start_async(kCompareOpnum, std::span(&piece, 1), context->async_state, &decode_result);
    return true;
  });
}
