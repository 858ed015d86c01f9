// The worker loop on a real completion port without a disk or a server:
// contexts that find the dispenser empty, a stage the worker does not know,
// the progress line's boundaries and the clearing of a recycled context. Any
// read or remote call here would fail the test, since neither exists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/chunk_worker.h"
#include "engine/replication_driver.h"
#include "records/records.h"
#include "testing/temporary_directory.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1048576;

class WorkerLoop : public ::testing::Test {
 protected:
  // The logger writes .\TRV.log into the working directory: keep it out of
  // the build tree.
  static void SetUpTestSuite() {
    home_ = fs::current_path();
    directory_ = new trv_testing::TemporaryDirectory("trv-worker");
    dir_ = directory_->path();
    fs::current_path(dir_);
  }
  static void TearDownTestSuite() {
    fs::current_path(home_);
    delete directory_;
    directory_ = nullptr;
  }

  void SetUp() override {
    CompletionPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(CompletionPort, nullptr);
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&lock_, 100));
    dispenser_ = ChunkDispenser{0, 0, &lock_};
    chunk_dispenser = &dispenser_;
    RunStatus.store(Running);
    contexts_in_play.store(0);
    log_start_ = log_bytes().size();
  }

  void TearDown() override {
    CloseHandle(CompletionPort);
    CompletionPort = nullptr;
    chunk_dispenser = nullptr;
    DeleteCriticalSection(&lock_);
    for (ChunkContext* context : contexts_) release_chunk_context(context);
  }

  // A context counted in play, with garbage in its buffers as a context
  // carries from its last chunk.
  ChunkContext* add_context(std::uint64_t offset = 0, std::int32_t stage = Idle) {
    ChunkContext* context = create_chunk_context(7);
    std::fill_n(context->data, context->data_length, 0xAB);
    std::fill_n(context->digest, context->digest_length, 0xCD);
    context->offset = offset;
    context->stage = stage;
    contexts_.push_back(context);
    contexts_in_play.fetch_add(1);
    return context;
  }

  void post(ChunkContext* context) {
    ASSERT_TRUE(PostQueuedCompletionStatus(CompletionPort, 0, 0, &context->overlapped));
  }

  // Runs `count` workers and waits until every one has ended.
  void run_workers(int count) {
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
      HANDLE thread = CreateThread(nullptr, 0, handle_chunks, nullptr, 0, nullptr);
      ASSERT_NE(thread, nullptr);
      threads.push_back(thread);
    }
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE thread : threads) CloseHandle(thread);
  }

  static std::vector<char> log_bytes() {
    std::ifstream in(dir_ / "TRV.log", std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  }

  // What this test added to the log, as ASCII (every message here is).
  std::string new_log() const {
    std::vector<char> bytes = log_bytes();
    std::string text;
    for (std::size_t i = log_start_; i + 1 < bytes.size(); i += 2) text += bytes[i];
    return text;
  }

  static int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  static fs::path home_;
  static trv_testing::TemporaryDirectory* directory_;
  static fs::path dir_;
  CRITICAL_SECTION lock_;
  ChunkDispenser dispenser_;
  std::vector<ChunkContext*> contexts_;
  std::size_t log_start_ = 0;
};

fs::path WorkerLoop::home_;
trv_testing::TemporaryDirectory* WorkerLoop::directory_ = nullptr;
fs::path WorkerLoop::dir_;

TEST_F(WorkerLoop, EmptyDispenserEndsEveryWorkerAndTheRunSucceeds) {
  for (int i = 0; i < 16; ++i) post(add_context());
  run_workers(16);
  EXPECT_EQ(RunStatus.load(), Succeeded);
  EXPECT_EQ(contexts_in_play.load(), 0);
  // Every context's digest was cleared before it met the empty dispenser.
  // (Its data buffer keeps the last chunk: a read overwrites it, and a short
  // read's tail is zeroed when the read completes.)
  for (ChunkContext* context : contexts_) {
    EXPECT_TRUE(std::all_of(context->digest, context->digest + context->digest_length,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(context->stage, Idle);
  }
}

TEST_F(WorkerLoop, FailedRunIsNotTurnedIntoSuccessByTheEmptyDispenser) {
  RunStatus.store(Failed);
  for (int i = 0; i < 4; ++i) post(add_context());
  run_workers(4);
  EXPECT_EQ(RunStatus.load(), Failed);
}

// A stop or a lost link with chunks left to copy claims none of them and
// fails the run, even though every context ends as at an empty dispenser.
TEST_F(WorkerLoop, StopOrLostLinkClaimsNoChunkAndFailsTheRun) {
  for (std::atomic<bool>* flag : {&stop_requested, &link_lost}) {
    RunStatus.store(Running);
    dispenser_.next_offset = 0;
    dispenser_.total_size = 64 * kMiB;
    flag->store(true);
    for (int i = 0; i < 4; ++i) post(add_context());
    run_workers(2);
    flag->store(false);
    EXPECT_EQ(RunStatus.load(), Failed);
    EXPECT_EQ(contexts_in_play.load(), 0);
    EXPECT_EQ(dispenser_.next_offset, 0u) << "a chunk was claimed after the halt";
  }
}

TEST_F(WorkerLoop, FewerWorkersThanContextsStillTakeThemAll) {
  for (int i = 0; i < 16; ++i) post(add_context());
  run_workers(3);
  EXPECT_EQ(contexts_in_play.load(), 0);
  EXPECT_EQ(RunStatus.load(), Succeeded);
}

TEST_F(WorkerLoop, UnknownStageFailsTheRunAndTheWorkerServesOn) {
  post(add_context(0, 2));
  post(add_context());
  run_workers(1);
  EXPECT_EQ(RunStatus.load(), Failed);
  EXPECT_EQ(contexts_in_play.load(), 0);  // the second context was served too
  std::string log = new_log();
  EXPECT_EQ(count(log, "[ERROR]"), 1) << log;
  EXPECT_EQ(count(log, "] Unsupported io_completion_key\n"), 1) << log;
}

TEST_F(WorkerLoop, ProgressLineOnlyForChunksOnA100MiBBoundary) {
  for (std::uint64_t offset : {std::uint64_t{0}, 100 * kMiB, 101 * kMiB, 150 * kMiB, 300 * kMiB}) {
    post(add_context(offset));
  }
  run_workers(2);
  std::string log = new_log();
  EXPECT_EQ(count(log, "Replicated bytes: "), 2) << log;
  EXPECT_EQ(count(log, "[DEBUG]"), 2) << log;
  EXPECT_EQ(count(log, "] Replicated bytes: 104857600, speed: "), 1) << log;
  EXPECT_EQ(count(log, "] Replicated bytes: 314572800, speed: "), 1) << log;
}

TEST_F(WorkerLoop, WakeUpsAloneDoNotEndWorkersWhileAContextIsInPlay) {
  // One context is somewhere else (a read or a call in flight) while the run
  // already looks finished; wake-ups must not let the workers go.
  RunStatus.store(Succeeded);
  ChunkContext* late = add_context();
  std::vector<HANDLE> threads;
  for (int i = 0; i < 2; ++i)
    threads.push_back(CreateThread(nullptr, 0, handle_chunks, nullptr, 0, nullptr));
  wake_all_workers();
  wake_all_workers();
  // The port hands packets out in order, so the late context comes after
  // every wake-up; a worker that left on one would leave it untaken.
  post(late);
  WaitForMultipleObjects(2, threads.data(), TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  EXPECT_EQ(contexts_in_play.load(), 0);
  // A worker took it: its digest was cleared for the next chunk.
  EXPECT_TRUE(std::all_of(late->digest, late->digest + late->digest_length,
                          [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
