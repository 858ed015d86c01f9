// The replication driver. Runs on the main thread only; every record it sets
// up is complete before the first worker starts, and the run's result is read
// only after the last worker has ended.
#include "engine/replication_driver.h"

#include <cstring>
#include <cwchar>
#include <optional>
#include <string>

#include "disk/source_disk.h"
#include "engine/bandwidth_limiter.h"
#include "engine/chunk_worker.h"
#include "log/error_reports.h"
#include "log/logger.h"
#include "rpc/replication_service.h"
#include "rpc/rpc_connection.h"
#include "dcerpc/rpc.h"

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

// The last line of a run whose chunks all succeeded but whose close_device
// was not answered Closed.
std::wstring unconfirmed_close_line(std::optional<std::int32_t> answer) {
  std::wstring line = L"Replicate failed: the destination did not confirm the close (";
  line += answer.has_value() ? L"answer " + std::to_wstring(*answer) : std::wstring(L"no answer");
  return line + L").";
}

}  // namespace

BOOL stop_on_console_control(DWORD) {
  if (stop_requested.exchange(true)) ExitProcess(Failed);
  Logger::instance().error(
      L"Stop requested: finishing the chunks in flight, then closing the destination");
  return TRUE;
}

bool initialize_client(const RunArguments& arguments) {
  build_source_disk(arguments.src_disk_index);
  if (!open_source_disk()) return false;
  if (flush_before_start && !flush_source_disk()) {
    report_last_error(L"FlushFileBuffers");
    return false;
  }
  // The limiter reports its own failure; running unpaced instead would
  // ignore the limit that was asked for.
  if (!set_up_bandwidth_limiter(arguments.bandwidth_limit)) return false;
  if (!create_chunk_dispenser(source_disk->size)) return false;
  if (!create_completion_port(source_disk->handle)) return false;
  if (!set_up_rpc_connection(arguments.server_addr, arguments.server_port)) return false;
  Logger::instance().info(L"Initialize client done");
  return true;
}

std::int32_t run_replication(const RunArguments& arguments) {
  set_run_mode(arguments.mode);
  Logger::instance().info(L"Initilazing client");
  if (!initialize_client(arguments)) return 1;

  if (!invoke_open_device(arguments.dest_disk_index)) {
    Logger::instance().error(L"Open physical disk failed on destination, stop replication.");
    return 1;
  }

  Logger::instance().info(L"Initilazing chunks");
  for (int i = 0; i < kChunkContextCount; ++i) {
    ChunkContext* context = create_chunk_context(arguments.dest_disk_index);
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
  std::optional<std::int32_t> close_answer;
  if (invoke_close_device(arguments.dest_disk_index, &close_answer)) {
    // A run that never reached a result did not succeed.
    return status == Succeeded ? Succeeded : Failed;
  }
  Logger::instance().error(L"Close physical disk failed on destination.");
  // Only Closed confirms that the destination still holds what was written:
  // trvs checks its image once more at the close. Without it, chunks that
  // were all answered prove nothing about the destination now.
  if (status == Succeeded) Logger::instance().error(unconfirmed_close_line(close_answer));
  return Failed;
}
