// The per-chunk state machine that the worker threads run on the one
// completion port. A context is handed on (posted, read, or sent) only after
// this worker's last access to it; the dispenser lock is the only lock taken
// here and is never held across I/O or logging.
#include "engine/chunk_worker.h"

#include <cstring>
#include <cwchar>
#include <limits>

#include "digest/digest.h"
#include "disk/source_disk.h"
#include "engine/bandwidth_limiter.h"
#include "log/error_reports.h"
#include "log/logger.h"
#include "rpc/replication_service.h"
#include "rpc/rpc_connection.h"
#include "dcerpc/rpc.h"
#include "service/server_result.h"

namespace {

constexpr std::uint64_t kProgressStep = 104857600;  // 100 MiB
constexpr DWORD kPortWaitMs = 10000;

// What wake_all_workers posts. Its address is never a context's block, and a
// posted packet always dequeues successfully, so it cannot be mistaken for a
// failed operation.
OVERLAPPED wake_up_packet;

bool may_leave() { return RunStatus.load() != Running && contexts_in_play.load() == 0; }

// The context will never be posted again. RunStatus has already left Running
// when this is called, so the last drop can safely let everybody go.
void drop_context() {
  if (contexts_in_play.fetch_sub(1) == 1) wake_all_workers();
}

// Marks the run failed and drops the context. The worker stays: it may be
// needed to take the completions of chunks that other workers started.
void fail_chunk() {
  RunStatus.store(Failed);
  drop_context();
}

void write_progress_line(std::uint64_t offset) {
  // Wrap-around arithmetic: the difference of two 32-bit readings.
  auto elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(process_clock_ms()) -
                                           static_cast<std::uint32_t>(last_progress_ticks.load()));
  Logger::instance().write(Debug, progress_line(offset, elapsed));
  last_progress_ticks.store(process_clock_ms());
}

void compute_digest(ChunkContext* context) {
  // Unwritten disk regions are common; their digest is known without hashing.
  if (context->data_length == kChunkLength &&
      is_all_zero(context->data, context->data_length)) {
    std::memcpy(context->digest, kZeroChunkDigest, kDigestLength);
    return;
  }
  // Chunks whose reads complete close together share the vector lanes.
  std::uint8_t digest[kDigestLength];
  chunk_hasher.digest(context->data, context->data_length, digest);
  std::memcpy(context->digest, digest, kDigestLength);
}

// Prepares the context's call state for `stage` and starts the call. After a
// true return the context belongs to the RPC runtime.
bool start_call(ChunkContext* context, ChunkStage stage) {
  RPC_STATUS status = prepare_async_call(context, stage);
  if (status != 0) {
    report_rpc_status(L"RpcAsyncInitializeHandle", status);
    return false;
  }
  // The stage is written before the call can complete: the completion packet
  // is what carries the context to the next worker.
  context->stage = stage;
  // The call wrappers report their own failures. A call that cannot be
  // started has met no server to answer it (or no means to reach one).
  note_call_started();
  if (stage == Comparing ? invoke_compare(context) : invoke_replicate(context)) return true;
  note_call_ended();
  link_lost.store(true);
  return false;
}

// Sends the context back through the port as Idle, so that whichever worker
// takes it next claims the next chunk for it.
bool recycle(ChunkContext* context) {
  context->stage = Idle;
  if (PostQueuedCompletionStatus(CompletionPort, 0, 0, &context->overlapped)) return true;
  report_last_error(L"PostQueuedCompletionStatus");
  return false;
}

// An Idle context: finish off its last chunk, then give it the next one.
// False when the context has failed; true also when it was dropped at the
// empty dispenser.
bool start_next_chunk(ChunkContext* context) {
  // The data buffer keeps the last chunk's bytes: the next read overwrites
  // them, and send_chunk zeroes whatever a short read leaves.
  if (context->digest != nullptr) std::memset(context->digest, 0, context->digest_length);
  std::memset(&context->overlapped, 0, sizeof context->overlapped);
  if (context->offset != 0 && context->offset % kProgressStep == 0) {
    write_progress_line(context->offset);
  }

  // A stop or a lost link leaves the rest of the disk unclaimed: the run
  // cannot succeed.
  if (chunks_halted()) {
    RunStatus.store(Failed);
    drop_context();
    return true;
  }
  std::uint64_t offset = 0;
  if (!take_chunk(chunk_dispenser, context->data_length, &offset)) {
    std::int32_t expected = Running;
    RunStatus.compare_exchange_strong(expected, Succeeded);
    drop_context();
    return true;
  }
  context->offset = offset;
  context->stage = Reading;
  context->overlapped.Offset = static_cast<DWORD>(offset);
  context->overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD bytes_read = 0;
  // A chunk alone in the vector lanes waits briefly for chunks being read
  // rather than go on by itself. The announcement ends when the read's
  // completion is taken from the port, or here when the read cannot start.
  context->read_arrival = chunk_hasher.expect();
  // A read that completes at once is queued to the port too, so success and
  // ERROR_IO_PENDING both mean: the completion comes through the port.
  if (ReadFile(source_disk->handle, context->data, context->data_length, &bytes_read,
               &context->overlapped) ||
      GetLastError() == ERROR_IO_PENDING) {
    return true;
  }
  context->read_arrival = {};
  report_last_error_at(L"Read device", offset);
  return false;
}

// A read of `bytes_read` bytes has completed: pace, digest and send the
// chunk on. Past the end of the disk the chunk is zeros.
bool send_chunk(ChunkContext* context, DWORD bytes_read) {
  if (bytes_read < context->data_length) {
    std::memset(context->data + bytes_read, 0, context->data_length - bytes_read);
  }
  if (limiter_enabled && !chunks_halted()) throttle();
  // A chunk read but not yet sent when a stop comes or the link is lost is
  // left unsent, like the chunks not yet claimed.
  if (chunks_halted()) {
    RunStatus.store(Failed);
    drop_context();
    return true;
  }
  compute_digest(context);
  return start_call(context, compare_first ? Comparing : Replicating);
}

bool finish_compare(ChunkContext* context) {
  std::int32_t reply = 0;
  RPC_STATUS status = RpcAsyncCompleteCall(context->async_state, &reply);
  if (status != 0) {
    link_lost.store(true);
    report_rpc_status(L"Compare", status);
    return false;
  }
  if (reply == Identical) return recycle(context);
  // The digest from the read travels with the replicate; the limiter has
  // already let this chunk pass.
  if (reply == Differs) return start_call(context, Replicating);
  report_error_at(L"Compare", context->offset, reply);
  return false;
}

bool finish_replicate(ChunkContext* context) {
  std::int32_t reply = 0;
  RPC_STATUS status = RpcAsyncCompleteCall(context->async_state, &reply);
  if (status != 0) {
    link_lost.store(true);
    report_rpc_status(L"Replicate", status);
    return false;
  }
  if (reply == Replicated) return recycle(context);
  report_error_at(L"Replicate", context->offset, reply);
  if (reply == kReadOnlyRefusal) {
    // A verification pass: the run has failed, but every differing chunk is
    // to be named, so the context goes on with the next one.
    RunStatus.store(Failed);
    return recycle(context);
  }
  return false;
}

}  // namespace

bool take_chunk(ChunkDispenser* dispenser, std::uint32_t step, std::uint64_t* offset) {
  EnterCriticalSection(dispenser->lock);
  bool taken = dispenser->next_offset < dispenser->total_size;
  if (taken) {
    *offset = dispenser->next_offset;
    // Saturate instead of wrapping, so a size near 2^64 cannot restart at 0.
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    dispenser->next_offset =
        dispenser->next_offset > kMax - step ? kMax : dispenser->next_offset + step;
  }
  LeaveCriticalSection(dispenser->lock);
  return taken;
}

void drain_dispenser(ChunkDispenser* dispenser) {
  EnterCriticalSection(dispenser->lock);
  dispenser->next_offset = dispenser->total_size;
  LeaveCriticalSection(dispenser->lock);
}

void wake_all_workers() {
  for (int i = 0; i < kWorkerCount; ++i) {
    if (!PostQueuedCompletionStatus(CompletionPort, 0, 0, &wake_up_packet)) return;
  }
}

float progress_speed(std::int32_t elapsed_ms) {
  return 104857600000.0f / static_cast<float>(elapsed_ms);
}

std::wstring format_speed(float speed) {
  wchar_t text[48];
  int length;
  if (speed < 1024.0f) {
    length = std::swprintf(text, 48, L"%4.2f B/s", static_cast<double>(speed));
  } else if (speed < 1048576.0f) {
    length = std::swprintf(text, 48, L"%4.2f KB/s", static_cast<double>(speed * 0.0009765625f));
  } else {
    length =
        std::swprintf(text, 48, L"%4.2f MB/s", static_cast<double>(speed * (1.0f / 1048576.0f)));
  }
  return length < 0 ? std::wstring() : std::wstring(text, static_cast<std::size_t>(length));
}

std::wstring progress_line(std::uint64_t offset, std::int32_t elapsed_ms) {
  return L"Replicated bytes: " + std::to_wstring(offset) + L", speed: " +
         format_speed(progress_speed(elapsed_ms));
}

DWORD handle_chunks(LPVOID) {
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;  // not consulted: the context's stage says what completed
    OVERLAPPED* overlapped = nullptr;
    BOOL dequeued =
        GetQueuedCompletionStatus(CompletionPort, &bytes, &key, &overlapped, kPortWaitMs);
    if (overlapped == nullptr || overlapped == &wake_up_packet) {
      // A time-out, a failed wait or a wake-up: nothing to take this time.
      if (may_leave()) return 0;
      continue;
    }
    ChunkContext* context = context_from_overlapped(overlapped);
    // Whether the read succeeded or failed, it is no longer on its way.
    if (context->stage == Reading) context->read_arrival = {};
    if (context->stage == Comparing || context->stage == Replicating) note_call_ended();
    if (!dequeued) {
      // The operation of this context failed; the wait has set its error.
      report_last_error_at(L"handle_chunks", context->offset);
      fail_chunk();
      continue;
    }

    bool ok;
    switch (context->stage) {
      case Idle:
        ok = start_next_chunk(context);
        break;
      case Reading:
        ok = send_chunk(context, bytes);
        break;
      case Comparing:
        ok = finish_compare(context);
        break;
      case Replicating:
        ok = finish_replicate(context);
        break;
      default:
        Logger::instance().error(L"Unsupported io_completion_key");
        ok = false;
        break;
    }
    if (!ok) fail_chunk();
    if (may_leave()) return 0;
  }
}
