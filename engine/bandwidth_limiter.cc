// The bandwidth limiter: a binary semaphore held across the pacing sleep, so
// that passes are spaced by the interval whichever workers make them. Set-up
// and release run on the main thread; throttle on any worker.
#include "engine/bandwidth_limiter.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "log/error_reports.h"

namespace {

std::int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void plain_sleep_ns(std::int64_t duration_ns) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(duration_ns));
}

// From 40 chunks per second up, the pacing allows ten more than asked.
constexpr std::int32_t kBonusFromChunksPerSecond = 40;
constexpr std::int32_t kBonusChunksPerSecond = 10;

// How often a pacing sleep looks for a stop or a lost link.
constexpr std::int64_t kStopCheckNs = 200000000;
// How long calls may be out with no answer before passes wait for one: far
// longer than a healthy server takes to write and flush a chunk, far
// shorter than the reply bound.
constexpr std::int64_t kSilenceNs = 10000000000;

}  // namespace

const LimiterClock kSteadyLimiterClock = {steady_now_ns, plain_sleep_ns};
LimiterClock limiter_clock = kSteadyLimiterClock;

std::int32_t limiter_interval_ms(std::int32_t bandwidth_limit) {
  if (bandwidth_limit <= 0) return 0;
  const std::int32_t chunks_per_second = bandwidth_limit / 1024;
  if (chunks_per_second == 0) {
    // Less than one chunk per second: the whole-chunk rate would be zero and
    // the interval undefined. One chunk every 1024000 / limit ms keeps the
    // rate at or just above what was asked.
    return static_cast<std::int32_t>(1024000 / bandwidth_limit);
  }
  const std::int32_t adjusted = chunks_per_second >= kBonusFromChunksPerSecond
                                    ? chunks_per_second + kBonusChunksPerSecond
                                    : chunks_per_second;
  return 1000 / adjusted;
}

bool set_up_bandwidth_limiter(std::int32_t bandwidth_limit) {
  if (bandwidth_limit <= 0) return true;

  const std::int64_t set_up_ns = limiter_clock.now_ns();
  // Without the gate throttle could not serialise its callers, so a gate
  // that cannot be made fails the start rather than run unpaced.
  HANDLE gate = CreateSemaphoreW(nullptr, 1, 1, nullptr);
  if (gate == nullptr) {
    report_last_error(L"CreateSemaphore");
    return false;
  }

  auto* limiter = new BandwidthLimiter{};
  limiter->chunks_per_second = bandwidth_limit / 1024;
  limiter->gate = gate;
  limiter->interval_seconds = limiter_interval_ms(bandwidth_limit) / 1000.0;
  limiter->last_pass_ns = set_up_ns;
  limiter->last_answer_ns.store(set_up_ns);

  limiter_enabled = true;
  bandwidth_limiter = limiter;
  return true;
}

void throttle() {
  BandwidthLimiter* limiter = bandwidth_limiter;
  WaitForSingleObject(limiter->gate, INFINITE);

  const std::int64_t elapsed_ns = limiter_clock.now_ns() - limiter->last_pass_ns;
  const double want_ns = limiter->interval_seconds * 1e9;
  if (want_ns > static_cast<double>(elapsed_ns)) {
    // want_ns is a whole number of milliseconds in nanoseconds, so the
    // difference is exact.
    const auto remaining_ns = static_cast<std::int64_t>(want_ns - static_cast<double>(elapsed_ns));
    const std::int64_t deadline_ns = limiter_clock.now_ns() + remaining_ns;
    // A sleep may end early; the pass must not, unless the run is being
    // stopped or has lost its server: at the lowest limits one interval
    // lasts minutes, and the workers queued at the gate would hold the end
    // of the run up for as many of them.
    for (std::int64_t now_ns = limiter_clock.now_ns(); now_ns < deadline_ns && !chunks_halted();
         now_ns = limiter_clock.now_ns()) {
      limiter_clock.sleep_ns(std::min(deadline_ns - now_ns, kStopCheckNs));
    }
  }
  // A server that has gone silent answers none of the calls out. Each chunk
  // passed into that silence would wait out the whole reply bound after the
  // one before it, and at a low limit they would add up to many bounds; so
  // while calls are out and none has been answered for kSilenceNs, the pass
  // waits for an answer. It ends within a reply bound: the calls out are
  // then answered, or have failed and halted the run.
  while (!chunks_halted() && limiter->calls_out.load() > 0 &&
         limiter_clock.now_ns() - limiter->last_answer_ns.load() >= kSilenceNs) {
    limiter_clock.sleep_ns(kStopCheckNs);
  }
  limiter->last_pass_ns = limiter_clock.now_ns();

  ReleaseSemaphore(limiter->gate, 1, nullptr);
}

void note_call_started() {
  if (BandwidthLimiter* limiter = bandwidth_limiter) limiter->calls_out.fetch_add(1);
}

void note_call_ended() {
  if (BandwidthLimiter* limiter = bandwidth_limiter) {
    limiter->last_answer_ns.store(limiter_clock.now_ns());
    limiter->calls_out.fetch_sub(1);
  }
}

void release_bandwidth_limiter() {
  BandwidthLimiter* limiter = bandwidth_limiter;
  if (limiter == nullptr) return;
  if (limiter->gate != nullptr) CloseHandle(limiter->gate);
  // The flag promises a limiter to whoever tests it; it must not outlive it.
  limiter_enabled = false;
  bandwidth_limiter = nullptr;
  delete limiter;
}
