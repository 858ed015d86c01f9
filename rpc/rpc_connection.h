// The client's connection to the replication server: the one process-wide
// RpcConnection record with its string binding and the interface's binding
// handle, the private heap of the call machinery, the per-call preparation
// of asynchronous call states, and the release. Set-up and release run on
// the main thread while no worker exists; prepare_async_call and the heap
// routines run on any thread.
#pragma once

#include <cstddef>

#include "engine/chunk_context.h"
#include "platform/win32.h"
#include "rpc/runtime/rpc.h"

struct RpcConnection {
  const wchar_t* server_addr;          // the argument text, not copied
  const wchar_t* server_port;          // used unchanged as the endpoint
  RPC_WSTR string_binding;             // the runtime's; null until composed
  RPC_BINDING_HANDLE* binding_handle;  // the interface's implicit handle
};

// Null until set_up_rpc_connection creates the record.
extern RpcConnection* rpc_connection;
// Options 0, 64 MiB initial, 128 MiB maximum; null until created, never
// destroyed.
extern HANDLE rpc_heap;

// Publishes the record, composes "ncacn_ip_tcp:<addr>[<port>]", makes the
// binding (the server is not contacted) and creates rpc_heap. Each failure is
// reported through report_last_error as "RpcStringBindingCompose",
// "RpcBindingFromStringBinding" or "Allocate rpc heap" and returns false,
// leaving what was made for release_rpc_connection.
bool set_up_rpc_connection(const wchar_t* server_addr, const wchar_t* server_port);

// The allocation routines of the call machinery: blocks from rpc_heap with
// flags 0; null when the heap cannot supply one. Freeing null does nothing.
void* rpc_heap_allocate(std::size_t size);
void rpc_heap_free(void* block);

// Initialises the context's async_state; on a non-zero status returns it and
// changes nothing else. Otherwise sets the context's stage to `stage`, then
// asks for one completion packet on CompletionPort with the stage as key and
// the context's overlapped block, and returns 0.
RPC_STATUS prepare_async_call(ChunkContext* context, ChunkStage stage);

// Frees the string binding and the binding (reporting "RpcStringFree" /
// "RpcBindingFree" through report_last_error and going on), then the record.
// Nothing to do without a record. rpc_heap stays.
void release_rpc_connection();
