// The replication driver. Runs on the main thread only; every record it sets
// up is complete before the first worker starts, and the run's result is read
// only after the last worker has ended.
#include "engine/replication_driver.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <limits>
#include <new>

#include "disk/source_disk.h"
#include "engine/bandwidth_limiter.h"
#include "engine/chunk_worker.h"
#include "engine/process_state.h"
#include "log/error_reports.h"
#include "log/logger.h"
#include "rpc/replication_service.h"
#include "rpc/rpc_connection.h"
#include "rpc/runtime/rpc.h"

ChunkContext* chunk_contexts[kChunkContextCount] = {};

namespace {

void set_run_mode(const wchar_t* mode) {
  if (std::wcscmp(mode, L"incremental_sync") == 0) {
    compare_first = true;
    flush_before_start = false;
  } else if (std::wcscmp(mode, L"last_incremental_sync") == 0) {
    compare_first = true;
    flush_before_start = true;
  }
}

bool create_chunk_dispenser() {
  auto* lock = static_cast<CRITICAL_SECTION*>(std::malloc(sizeof(CRITICAL_SECTION)));
  if (lock == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    report_last_error(L"InitializeCriticalSectionAndSpinCount");
    return false;
  }
  // Without its lock there is no dispenser, and without a dispenser the
  // workers would have nothing to hand out: fail here, where it is clear why.
  if (!InitializeCriticalSectionAndSpinCount(lock, 100)) {
    report_last_error(L"InitializeCriticalSectionAndSpinCount");
    std::free(lock);
    return false;
  }
  auto* dispenser = static_cast<ChunkDispenser*>(std::malloc(sizeof(ChunkDispenser)));
  if (dispenser == nullptr) {
    DeleteCriticalSection(lock);
    std::free(lock);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    report_last_error(L"Allocate chunk dispenser");
    return false;
  }
  dispenser->next_offset = 0;
  dispenser->total_size = source_disk->size;
  dispenser->lock = lock;
  chunk_dispenser = dispenser;
  return true;
}

// Stops the `started` workers that run while the others could not be
// created: the run is failed, the dispenser emptied, and the workers end once
// the chunks they already started have been answered. Nothing they use may be
// released before that.
void stop_started_workers(int started) {
  RunStatus.store(Failed);
  drain_dispenser(chunk_dispenser);
  if (started > 0)
    WaitForMultipleObjects(static_cast<DWORD>(started), WorkerThreads, TRUE, INFINITE);
}

}  // namespace

BOOL stop_on_console_control(DWORD) {
  if (stop_requested.exchange(true)) ExitProcess(Failed);
  Logger::instance().error(
      L"Stop requested: finishing the chunks in flight, then closing the destination");
  return TRUE;
}

std::int32_t lenient_decimal(const wchar_t* text) {
  while (std::iswspace(static_cast<wint_t>(*text))) ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') {
    negative = *text == L'-';
    ++text;
  }
  // Accumulate the magnitude with room for the one value, 2^31, that only
  // the negative side holds.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    magnitude = magnitude * 10 + (*text - L'0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(magnitude >= kLimit ? kLimit - 1 : magnitude);
}

ChunkContext* create_chunk_context(std::int32_t dest_disk_index) {
  auto* context = new (std::nothrow) ChunkContext{};
  auto* digest = new (std::nothrow) std::uint8_t[kChunkDigestLength];
  // Page-aligned: the kernel copies a read into it markedly faster than into
  // the 16-byte alignment of operator new[], and a sector-aligned buffer is
  // what an unbuffered read of a disk needs. Freed with std::free.
  auto* data = static_cast<std::uint8_t*>(std::aligned_alloc(4096, kChunkDataLength));
  auto* async_state = static_cast<RPC_ASYNC_STATE*>(std::calloc(1, sizeof(RPC_ASYNC_STATE)));
  if (context == nullptr || digest == nullptr || data == nullptr || async_state == nullptr) {
    delete context;
    delete[] digest;
    std::free(data);
    std::free(async_state);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  context->dest_disk_index = dest_disk_index;
  context->offset = 0;
  context->stage = Idle;
  context->digest_length = kChunkDigestLength;
  context->digest = digest;
  context->data_length = kChunkDataLength;
  context->data = data;
  context->async_state = async_state;
  return context;
}

bool initialize_client(const wchar_t* server_addr, const wchar_t* server_port,
                       const wchar_t* src_disk_index, const wchar_t* bandwidth_limit) {
  build_source_disk(src_disk_index);
  if (!open_source_disk()) return false;
  if (flush_before_start && !flush_source_disk()) {
    report_last_error(L"FlushFileBuffers");
    return false;
  }
  // The limiter reports its own failure; running unpaced instead would
  // ignore the limit that was asked for.
  if (!set_up_bandwidth_limiter(lenient_decimal(bandwidth_limit))) return false;
  if (!create_chunk_dispenser()) return false;
  CompletionPort = CreateIoCompletionPort(source_disk->handle, nullptr, 1, 0);
  if (CompletionPort == nullptr) {
    report_last_error(L"CreateIoCompletionPort");
    return false;
  }
  if (!set_up_rpc_connection(server_addr, server_port)) return false;
  Logger::instance().info(L"Initialize client done");
  return true;
}

std::int32_t run_replication(const wchar_t* server_addr, const wchar_t* server_port,
                             const wchar_t* src_disk_index, const wchar_t* dest_disk_index,
                             const wchar_t* bandwidth_limit, const wchar_t* mode) {
  set_run_mode(mode);
  Logger::instance().info(L"Initilazing client");
  if (!initialize_client(server_addr, server_port, src_disk_index, bandwidth_limit)) return 1;

  if (!invoke_open_device(lenient_decimal(dest_disk_index))) {
    Logger::instance().error(L"Open physical disk failed on destination, stop replication.");
    return 1;
  }

  Logger::instance().info(L"Initilazing chunks");
  for (int i = 0; i < kChunkContextCount; ++i) {
    ChunkContext* context = create_chunk_context(lenient_decimal(dest_disk_index));
    if (context == nullptr) {
      report_last_error(L"Allocate chunk context");
      return 1;
    }
    chunk_contexts[i] = context;
    // Counted before it is posted, so that no worker can see it drop first.
    contexts_in_play.fetch_add(1);
    if (!PostQueuedCompletionStatus(CompletionPort, 0, 0, &context->overlapped)) {
      report_last_error(L"PostQueuedCompletionStatus");
      return 1;
    }
  }
  Logger::instance().info(L"Initialize chunks done");

  Logger::instance().info(L"Initilazing workers");
  last_progress_ticks.store(process_clock_ms());
  for (int i = 0; i < kWorkerCount; ++i) {
    WorkerThreads[i] = CreateThread(nullptr, 0, handle_chunks, nullptr, 0, nullptr);
    if (WorkerThreads[i] == nullptr) {
      report_last_error(L"Create worker thread");
      stop_started_workers(i);
      return 1;
    }
  }
  Logger::instance().info(L"Replicating chunks");
  WaitForMultipleObjects(kWorkerCount, WorkerThreads, TRUE, INFINITE);

  std::int32_t status = RunStatus.load();
  if (status == Failed) {
    Logger::instance().info(L"Replicate failed.");
  } else if (status == Succeeded) {
    Logger::instance().info(L"Replicate succ.");
  }
  if (!invoke_close_device(lenient_decimal(dest_disk_index))) {
    Logger::instance().error(L"Close physical disk failed on destination.");
  }
  status = RunStatus.load();
  // A run that never reached a result did not succeed.
  return status == Succeeded ? Succeeded : Failed;
}
