// The records of one replication run: the chunk context that carries a chunk
// through its stages, and every process-wide record of the client, each with
// who creates it and who releases it. Everything above this library (rpc,
// engine, app) and the source disk reach the run's state through this header
// only.
//
// Thread rules. The main thread creates every record before the first worker
// starts and releases them after the last one has ended; while workers run
// they only read the records, except RunStatus, last_progress_ticks,
// contexts_in_play and link_lost (atomics the workers write; the runtime's
// reader thread sets link_lost too), stop_requested (set by the console
// control handler's thread) and the dispenser's fields (under its lock).
// A chunk context belongs to one party at a time (the port, the OS while a
// read is outstanding, the RPC runtime while a call is outstanding, or the
// worker that dequeued it), so it carries no lock.
//
// The records in creation order, and their releases (app/run.cc releases
// them in this order after the run; what was never created is skipped):
//
//   record                       created by                    released by
//   source_disk                  build_source_disk (disk/)     release_source_disk
//   bandwidth_limiter            set_up_bandwidth_limiter      release_bandwidth_limiter
//                                (engine/), limit > 0 only
//   chunk_dispenser              create_chunk_dispenser        release_chunk_dispenser
//   CompletionPort               create_completion_port        release_completion_port
//   rpc_connection, rpc_heap,    set_up_rpc_connection (rpc/)  release_rpc_connection
//   replication_service_binding
//   chunk_contexts[]             create_chunk_context          release_chunk_contexts
//                                (by the driver, one by one)
//   WorkerThreads[]              the driver (CreateThread)     release_worker_threads
//
// The run-mode flags (compare_first, flush_before_start), limiter_enabled,
// RunStatus, last_progress_ticks, stop_requested, link_lost and
// contexts_in_play are plain values with their initial values below; the
// logger (log/logger.h) and chunk_hasher live for the whole process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "digest/hash_combiner.h"
#include "digest/md5.h"
#include "platform/win32.h"
#include "dcerpc/rpc.h"

// --- sizes -----------------------------------------------------------------

// A chunk is kChunkLength bytes with a kDigestLength digest (digest/md5.h).
constexpr int kChunkContextCount = 16;  // chunks in flight
constexpr int kWorkerCount = 16;        // worker threads

// --- the chunk context -----------------------------------------------------

// Every transition is made in engine/chunk_worker.cc.
enum ChunkStage : std::int32_t {
  Idle = 0,
  Reading = 1,
  // 2 is not used.
  Comparing = 3,
  Replicating = 4,
};

struct ChunkContext {
  std::int32_t dest_disk_index;  // the remote calls send its low 16 bits
  std::uint64_t offset;          // of the chunk on source and destination
  std::int32_t stage;            // a ChunkStage
  std::uint32_t digest_length;   // always kDigestLength
  std::uint8_t* digest;
  std::uint32_t data_length;  // always kChunkLength
  std::uint8_t* data;
  OVERLAPPED overlapped;  // embedded: the context is found from its address
  RPC_ASYNC_STATE* async_state;
  // Announces the chunk to chunk_hasher while its read is in flight.
  HashCombiner::Arrival read_arrival;
};

// The context that embeds `overlapped`, as a completion returns it.
inline ChunkContext* context_from_overlapped(OVERLAPPED* overlapped) {
  return reinterpret_cast<ChunkContext*>(reinterpret_cast<char*>(overlapped) -
                                         offsetof(ChunkContext, overlapped));
}

// A zero-filled Idle context for the destination disk with its buffers and
// its zero-filled call state; null (with the last error set) when memory is
// short.
ChunkContext* create_chunk_context(std::int32_t dest_disk_index);
// Frees the context, its buffers and its call state. Null does nothing.
void release_chunk_context(ChunkContext* context);

// The contexts of the run, in creation order; null until created.
extern ChunkContext* chunk_contexts[kChunkContextCount];
// Releases every context in chunk_contexts and nulls its slot.
void release_chunk_contexts();

// Contexts that a worker may still meet on the port: queued, read in flight,
// call in flight, or held by a worker. The driver counts each context before
// posting it; a context leaves the count when it is dropped (empty dispenser,
// failure, unsupported stage). Workers stay while it is above zero, so that
// every completion is taken and the result is read only after the last
// answer.
extern std::atomic<std::int32_t> contexts_in_play;

// The workers compute their chunks' digests through it, so that chunks read
// close together are hashed together in the vector lanes. A read in flight
// is announced through its context's read_arrival; see
// digest/hash_combiner.h. It lives as long as the process.
extern HashCombiner chunk_hasher;

// --- the run's state -------------------------------------------------------

enum RunStatusValue : std::int32_t {
  Succeeded = 0,
  Failed = 1,
  Running = 2,
};

extern std::atomic<std::int32_t> RunStatus;  // a RunStatusValue, initially Running
extern bool compare_first;                   // initially false
extern bool flush_before_start;              // initially true
extern bool limiter_enabled;                 // initially false
extern std::atomic<std::int32_t> last_progress_ticks;
// Set once by the console control handler (a signal on Linux); from then on
// no worker claims another chunk.
extern std::atomic<bool> stop_requested;
// Set once a call has ended without the server's answer (an RPC status such
// as 1818 or 1722, or a keepalive ping of an idle connection that went
// unanswered): the server or the link is gone, and every further call could
// only wait out its bound to fail.
extern std::atomic<bool> link_lost;

// From a stop or a lost link on, no worker claims another chunk or waits in
// the bandwidth limiter; the chunks in flight finish under the calls' bounds.
inline bool chunks_halted() { return stop_requested.load() || link_lost.load(); }

// Milliseconds since the process started, from a monotonic clock: the
// reading that the progress line's speed is computed from.
std::int32_t process_clock_ms();

// --- the source disk -------------------------------------------------------

// The local physical disk that a run copies; see disk/source_disk.h.
struct SourceDisk {
  // "\\.\PhysicalDrive" followed by the index text as typed, zero-terminated.
  // Left empty when the index text does not fit; the open then fails.
  wchar_t path[128];
  std::uint64_t size;  // bytes; 0 until the disk has been sized
  HANDLE handle;       // null until opened; never a handle already closed
};
extern SourceDisk* source_disk;  // null before build_source_disk

// --- the bandwidth limiter -------------------------------------------------

// The pacing of chunks between their read and their digest; see
// engine/bandwidth_limiter.h.
struct BandwidthLimiter {
  // bandwidth_limit / 1024: the asked rate in whole 1 MiB chunks per second,
  // as computed (0 for limits below 1024 KB/s).
  std::int32_t chunks_per_second;
  // A binary semaphore that admits one thread at a time into throttle.
  HANDLE gate;
  // The least time between two passes, a whole number of milliseconds.
  double interval_seconds;
  // Steady-clock nanoseconds of the last pass (at first: of the set-up).
  // Read and written only while `gate` is held.
  std::int64_t last_pass_ns;
  // Calls started and not yet taken from the port, and the steady-clock
  // nanoseconds when the last one was taken (at first: the set-up); any
  // worker.
  std::atomic<std::int32_t> calls_out;
  std::atomic<std::int64_t> last_answer_ns;
};
extern BandwidthLimiter* bandwidth_limiter;  // null when no limiter exists

// --- the dispenser of chunk offsets ---------------------------------------

struct ChunkDispenser {
  std::uint64_t next_offset;  // guarded by lock
  std::uint64_t total_size;   // guarded by lock
  CRITICAL_SECTION* lock;     // spin count 100; held only for the take
};
extern ChunkDispenser* chunk_dispenser;  // null until created

// Creates the dispenser of offsets 0 .. total_size and publishes it. On
// failure reports "InitializeCriticalSectionAndSpinCount" or "Allocate chunk
// dispenser" with the OS error, publishes nothing and returns false.
bool create_chunk_dispenser(std::uint64_t total_size);
// Deletes its lock and frees it; nothing to do without one.
void release_chunk_dispenser();

// --- the completion port and the workers ----------------------------------

extern HANDLE CompletionPort;               // null until created
extern HANDLE WorkerThreads[kWorkerCount];  // all null until created

// Creates the port with `file` associated under key 1 and publishes it. On
// failure reports "CreateIoCompletionPort" with the OS error and returns
// false.
bool create_completion_port(HANDLE file);
void release_completion_port();
// Closes each worker thread's handle that exists and nulls it.
void release_worker_threads();

// --- the connection to the server -----------------------------------------

// The client's connection to the replication server; see rpc/rpc_connection.h.
struct RpcConnection {
  const wchar_t* server_addr;          // the argument text, not copied
  const wchar_t* server_port;          // used unchanged as the endpoint
  RPC_WSTR string_binding;             // the runtime's; null until composed
  RPC_BINDING_HANDLE* binding_handle;  // the interface's implicit handle
};
extern RpcConnection* rpc_connection;  // null until set up
// Options 0, 64 MiB initial, 128 MiB maximum. Nothing allocates from it: the
// call stubs send only inputs and get an integer back, so they allocate
// nothing for the caller, and the runtime keeps its own buffers. It is made
// so that a client that cannot have it fails its set-up at once, as "Allocate
// rpc heap", rather than later; on Linux the initial size reserves nothing
// (platform/heap.cc). Null until created.
extern HANDLE rpc_heap;
// ReplicationService's implicit primitive binding handle: null until the
// connection set-up binds it.
extern RPC_BINDING_HANDLE replication_service_binding;
