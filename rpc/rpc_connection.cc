// The RPC connection's set-up, call preparation and release. Thread rules in
// rpc_connection.h.
#include "rpc/rpc_connection.h"

#include <new>

#include "log/error_reports.h"
#include "dcerpc/client.h"

namespace {
constexpr SIZE_T kRpcHeapInitialSize = 64u << 20;
constexpr SIZE_T kRpcHeapMaximumSize = 128u << 20;
}  // namespace

bool set_up_rpc_connection(const wchar_t* server_addr, const wchar_t* server_port) {
  rpc_connection = new (std::nothrow) RpcConnection{};
  if (rpc_connection == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    report_last_error(L"Allocate rpc connection");
    return false;
  }
  rpc_connection->server_addr = server_addr;
  rpc_connection->server_port = server_port;
  rpc_connection->string_binding = nullptr;
  rpc_connection->binding_handle = &replication_service_binding;

  if (RpcStringBindingComposeW(nullptr, L"ncacn_ip_tcp", server_addr, server_port, nullptr,
                               &rpc_connection->string_binding) != RPC_S_OK) {
    report_last_error(L"RpcStringBindingCompose");
    return false;
  }
  if (RpcBindingFromStringBindingW(rpc_connection->string_binding,
                                   rpc_connection->binding_handle) != RPC_S_OK) {
    report_last_error(L"RpcBindingFromStringBinding");
    return false;
  }
  // At a low bandwidth limit the workers may wait minutes between calls,
  // the first one included: the keepalive's pings keep the connection of
  // the open alive meanwhile, and are what notices a server gone silent.
  if (RPC_STATUS status = rpc::watch_keepalive(replication_service_binding, &link_lost);
      status != RPC_S_OK) {
    SetLastError(status);
    report_last_error(L"Start the rpc keepalive");
    return false;
  }
  rpc_heap = HeapCreate(0, kRpcHeapInitialSize, kRpcHeapMaximumSize);
  if (rpc_heap == nullptr) {
    report_last_error(L"Allocate rpc heap");
    return false;
  }
  return true;
}

RPC_STATUS prepare_async_call(ChunkContext* context, ChunkStage stage) {
  RPC_ASYNC_STATE* state = context->async_state;
  if (RPC_STATUS status = RpcAsyncInitializeHandle(state, sizeof(RPC_ASYNC_STATE));
      status != RPC_S_OK) {
    return status;
  }
  state->Flags = RPC_C_NOTIFY_ON_SEND_COMPLETE;
  state->UserInfo = nullptr;
  state->NotificationType = RpcNotificationTypeIoc;
  state->u.IOC.hIOPort = CompletionPort;
  // Written and never read: handle_chunks dispatches on context->stage.
  state->u.IOC.dwCompletionKey = static_cast<DWORD_PTR>(stage);
  state->u.IOC.lpOverlapped = &context->overlapped;
  return RPC_S_OK;
}

void release_rpc_connection() {
  if (rpc_heap != nullptr) {
    HeapDestroy(rpc_heap);
    rpc_heap = nullptr;
  }
  if (rpc_connection == nullptr) return;
  if (rpc_connection->string_binding != nullptr &&
      RpcStringFreeW(&rpc_connection->string_binding) != RPC_S_OK) {
    report_last_error(L"RpcStringFree");
  }
  if (RpcBindingFree(rpc_connection->binding_handle) != RPC_S_OK) {
    report_last_error(L"RpcBindingFree");
  }
  delete rpc_connection;
  rpc_connection = nullptr;
}
