// The client's connection to the replication server: the set-up of the one
// process-wide RpcConnection record (declared in records/records.h) with its
// string binding and the interface's binding handle, the per-call
// preparation of asynchronous call states, and the release. Set-up and
// release run on the main thread while no worker exists; prepare_async_call
// runs on any worker, on the context that worker holds.
#pragma once

#include "records/records.h"
#include "dcerpc/rpc.h"

// Publishes the record, composes "ncacn_ip_tcp:<addr>[<port>]", makes the
// binding (the server is not contacted) and creates rpc_heap (which nothing
// allocates from; see records/records.h). Each failure is
// reported through report_last_error as "RpcStringBindingCompose",
// "RpcBindingFromStringBinding" or "Allocate rpc heap" and returns false,
// leaving what was made for release_rpc_connection.
bool set_up_rpc_connection(const wchar_t* server_addr, const wchar_t* server_port);

// Initialises the context's async_state and, on success, asks for one
// completion packet on CompletionPort with `stage` as key and the context's
// overlapped block; returns the initialisation's status. The context's stage
// is the caller's to set. Nothing reads the key: a worker goes by the stage
// held in the context it finds from the overlapped block.
RPC_STATUS prepare_async_call(ChunkContext* context, ChunkStage stage);

// Frees the string binding and the binding (reporting "RpcStringFree" /
// "RpcBindingFree" through report_last_error and going on), then the record
// and rpc_heap. Nothing to do for what was never made.
void release_rpc_connection();
