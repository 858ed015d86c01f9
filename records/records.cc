// Definitions of the run's records and the create / release routines of
// those that need no layer above this one; see records.h for who calls them
// and when.
#include "records/records.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>

#include "dcerpc/large_buffer.h"
#include "log/error_reports.h"

std::atomic<std::int32_t> RunStatus{Running};
bool compare_first = false;
bool flush_before_start = true;
bool limiter_enabled = false;
std::atomic<std::int32_t> last_progress_ticks{0};
std::atomic<bool> stop_requested{false};
std::atomic<bool> link_lost{false};

SourceDisk* source_disk = nullptr;
BandwidthLimiter* bandwidth_limiter = nullptr;
ChunkDispenser* chunk_dispenser = nullptr;
HANDLE CompletionPort = nullptr;
HANDLE WorkerThreads[kWorkerCount] = {};
RpcConnection* rpc_connection = nullptr;
HANDLE rpc_heap = nullptr;
RPC_BINDING_HANDLE replication_service_binding = nullptr;
ChunkContext* chunk_contexts[kChunkContextCount] = {};
std::atomic<std::int32_t> contexts_in_play{0};
HashCombiner chunk_hasher;

namespace {
// Taken during static initialisation, which is as close to process start as
// portable code gets.
const auto process_start = std::chrono::steady_clock::now();

// The data buffers of the run's contexts lie side by side in one large
// buffer, taken with the first context and never freed: 16 MiB of whole huge
// pages where the system offers them, which the first reads fill with a few
// page faults instead of 4096 (see dcerpc/large_buffer.h). Its slots are
// page-aligned: the kernel copies a read into such a buffer markedly faster
// than into the 16-byte alignment of operator new[], and a sector-aligned
// buffer is what an unbuffered read of a disk needs. A context made while
// every slot is taken (only tests make more) gets a large buffer of its own.
std::mutex chunk_slots_mutex;
std::uint8_t* chunk_slots = nullptr;             // guarded by chunk_slots_mutex
bool chunk_slot_taken[kChunkContextCount] = {};  // guarded by chunk_slots_mutex

std::uint8_t* take_chunk_data() {
  {
    std::lock_guard lock(chunk_slots_mutex);
    if (chunk_slots == nullptr) {
      chunk_slots = rpc::allocate_large(std::size_t{kChunkContextCount} * kChunkLength);
    }
    for (int i = 0; chunk_slots != nullptr && i < kChunkContextCount; ++i) {
      if (chunk_slot_taken[i]) continue;
      chunk_slot_taken[i] = true;
      return chunk_slots + static_cast<std::size_t>(i) * kChunkLength;
    }
  }
  return rpc::allocate_large(kChunkLength);
}

void free_chunk_data(std::uint8_t* data) {
  if (data == nullptr) return;
  {
    std::lock_guard lock(chunk_slots_mutex);
    const auto slot_bytes = std::size_t{kChunkContextCount} * kChunkLength;
    if (chunk_slots != nullptr && data >= chunk_slots && data < chunk_slots + slot_bytes) {
      chunk_slot_taken[static_cast<std::size_t>(data - chunk_slots) / kChunkLength] = false;
      return;
    }
  }
  rpc::free_large(data, kChunkLength);
}
}  // namespace

std::int32_t process_clock_ms() {
  auto elapsed = std::chrono::steady_clock::now() - process_start;
  return static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

ChunkContext* create_chunk_context(std::int32_t dest_disk_index) {
  auto* context = new (std::nothrow) ChunkContext{};
  auto* digest = new (std::nothrow) std::uint8_t[kDigestLength];
  std::uint8_t* data = take_chunk_data();
  auto* async_state = static_cast<RPC_ASYNC_STATE*>(std::calloc(1, sizeof(RPC_ASYNC_STATE)));
  if (context == nullptr || digest == nullptr || data == nullptr || async_state == nullptr) {
    delete context;
    delete[] digest;
    free_chunk_data(data);
    std::free(async_state);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  context->dest_disk_index = dest_disk_index;
  context->offset = 0;
  context->stage = Idle;
  context->digest_length = kDigestLength;
  context->digest = digest;
  context->data_length = kChunkLength;
  context->data = data;
  context->async_state = async_state;
  return context;
}

void release_chunk_context(ChunkContext* context) {
  if (context == nullptr) return;
  free_chunk_data(context->data);
  delete[] context->digest;
  std::free(context->async_state);
  delete context;
}

void release_chunk_contexts() {
  for (ChunkContext*& context : chunk_contexts) {
    release_chunk_context(context);
    context = nullptr;
  }
}

bool create_chunk_dispenser(std::uint64_t total_size) {
  auto* lock = new (std::nothrow) CRITICAL_SECTION;
  if (lock == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    report_last_error(L"Allocate chunk dispenser");
    return false;
  }
  // Without its lock there is no dispenser, and without a dispenser the
  // workers would have nothing to hand out: fail here, where it is clear why.
  if (!InitializeCriticalSectionAndSpinCount(lock, 100)) {
    report_last_error(L"InitializeCriticalSectionAndSpinCount");
    delete lock;
    return false;
  }
  auto* dispenser = new (std::nothrow) ChunkDispenser{0, total_size, lock};
  if (dispenser == nullptr) {
    DeleteCriticalSection(lock);
    delete lock;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    report_last_error(L"Allocate chunk dispenser");
    return false;
  }
  chunk_dispenser = dispenser;
  return true;
}

void release_chunk_dispenser() {
  if (chunk_dispenser == nullptr) return;
  DeleteCriticalSection(chunk_dispenser->lock);
  delete chunk_dispenser->lock;
  delete chunk_dispenser;
  chunk_dispenser = nullptr;
}

bool create_completion_port(HANDLE file) {
  CompletionPort = CreateIoCompletionPort(file, nullptr, 1, 0);
  if (CompletionPort != nullptr) return true;
  report_last_error(L"CreateIoCompletionPort");
  return false;
}

void release_completion_port() {
  if (CompletionPort == nullptr) return;
  CloseHandle(CompletionPort);
  CompletionPort = nullptr;
}

void release_worker_threads() {
  for (HANDLE& thread : WorkerThreads) {
    if (thread != nullptr) {
      CloseHandle(thread);
      thread = nullptr;
    }
  }
}
