// Definitions of the process-wide values; see process_state.h for who writes
// them and when.
#include "engine/process_state.h"

#include <chrono>

std::atomic<std::int32_t> RunStatus{Running};
bool compare_first = false;
bool flush_before_start = true;
bool limiter_enabled = false;
std::atomic<std::int32_t> last_progress_ticks{0};
std::atomic<bool> stop_requested{false};

HANDLE CompletionPort = nullptr;
HANDLE WorkerThreads[kWorkerCount] = {};

namespace {
// Taken during static initialisation, which is as close to process start as
// portable code gets.
const auto process_start = std::chrono::steady_clock::now();
}  // namespace

std::int32_t process_clock_ms() {
  auto elapsed = std::chrono::steady_clock::now() - process_start;
  return static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}
