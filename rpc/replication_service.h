// The client stubs of ReplicationService: the four call operations, over the
// implicit binding handle replication_service_binding (records/records.h). Each
// operation catches every failure of its remote call and writes
// "Invoke rpc method <procedure> failed, exception code: <code>" to standard
// error. open_device and close_device run on the main thread; compare and
// replicate run on the worker threads, each on its own chunk context.
#pragma once

#include <cstdint>
#include <optional>

#include "records/records.h"

// Synchronous; sends the low 16 bits of the number. True exactly when the
// server answers Opened (107) / Closed (108). `answer`, when given, receives
// the server's answer, and stays empty when the call brought none.
bool invoke_open_device(std::int32_t dest_disk_index);
bool invoke_close_device(std::int32_t dest_disk_index,
                         std::optional<std::int32_t>* answer = nullptr);

// Asynchronous on the context's async_state, which prepare_async_call must
// have prepared for this call. True once the call is handed to the runtime;
// its result arrives through the state's completion notification and is
// collected with RpcAsyncCompleteCall into a std::int32_t.
bool invoke_replicate(ChunkContext* context);
bool invoke_compare(ChunkContext* context);
