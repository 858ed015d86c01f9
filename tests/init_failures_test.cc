// Every way the client's set-up and start can fail, driven by failing the
// named platform or runtime call inside a real trvc process: each failure is
// reported once with its own name, ends the run with exit code 1, and leaves
// the teardown to release what had been created.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

struct Failure {
  const char* name;             // for the test's name
  const char* fail_call;        // TRV_FAIL_CALL
  const char* report;           // the error line that must appear
  const char* limit;            // bandwidth_limit argument
  bool reaches_server;          // open_device was called before the failure
  const char* teardown_report;  // a further report made by the teardown, or ""
};

void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class InitFailure : public ::testing::TestWithParam<Failure> {
 protected:
  void SetUp() override {
    server_.start();
    write_file(dir_.drive(1), pattern(2 * kMiB, 1));
  }

  TempDir dir_;
  ScriptedReplicationServer server_;
};

TEST_P(InitFailure, IsReportedAndEndsTheRunWithExitCode1) {
  const Failure& failure = GetParam();
  RunResult result = run_trvc(dir_, {"127.0.0.1", server_.port_text(), "1", "7", failure.limit},
                              {{"TRV_FAIL_CALL", failure.fail_call}});
  EXPECT_EQ(result.exit_code, 1) << result.err;
  int report = find_message(result.log, failure.report);
  ASSERT_NE(report, -1) << "missing: " << failure.report << "\nstderr: " << result.err;
  EXPECT_EQ(result.log[report].level, "ERROR");
  // Reported once, where it happened.
  EXPECT_EQ(count_prefix(result.log, failure.report), 1);
  if (*failure.teardown_report) {
    int teardown = -1;
    for (std::size_t i = 0; i < result.log.size(); ++i) {
      if (result.log[i].message.rfind(failure.teardown_report, 0) == 0)
        teardown = static_cast<int>(i);
    }
    ASSERT_NE(teardown, -1) << "missing: " << failure.teardown_report;
    EXPECT_GT(teardown, report);
  }
  EXPECT_EQ(server_.open_calls(), failure.reaches_server ? 1 : 0);
  // The destination is closed only after a run that got its workers going.
  EXPECT_EQ(server_.close_calls(), 0);
  EXPECT_TRUE(server_.replicated_offsets().empty() || failure.reaches_server);
  EXPECT_EQ(find_message(result.log, "Replicate succ."), -1);
  EXPECT_EQ(find_message(result.log, "Replicate failed."), -1);
}

// The log file is the first CreateFileW and the logger's lock the first
// critical section of the process, hence the skips.
INSTANTIATE_TEST_SUITE_P(
    EachStep, InitFailure,
    ::testing::Values(Failure{"OpenDevice", "CreateFileW:5:1", "Open device failed, error code: 5",
                              "0", false, ""},
                      // 1 and 50 fall back to the file size; other errors end the run.
                      Failure{"DeviceSize", "DeviceIoControl:21",
                              "Read device size failed, error code: 21", "0", false, ""},
                      Failure{"DeviceSizeFallback", "DeviceIoControl:50,GetFileSizeEx:1117",
                              "Read device size failed, error code: 1117", "0", false, ""},
                      Failure{"Flush", "FlushFileBuffers:1117",
                              "FlushFileBuffers failed, error code: 1117", "0", false, ""},
                      Failure{"LimiterGate", "CreateSemaphoreW:1450",
                              "CreateSemaphore failed, error code: 1450", "4096", false, ""},
                      Failure{"DispenserLock", "InitializeCriticalSectionAndSpinCount:8:1",
                              "InitializeCriticalSectionAndSpinCount failed, error code: 8", "0",
                              false, ""},
                      Failure{"CompletionPort", "CreateIoCompletionPort:1450",
                              "CreateIoCompletionPort failed, error code: 1450", "0", false, ""},
                      Failure{"Compose", "RpcStringBindingComposeW:14",
                              "RpcStringBindingCompose failed, error code: 14", "0", false,
                              "RpcBindingFree failed, error code: "},
                      Failure{"Bind", "RpcBindingFromStringBindingW:14",
                              "RpcBindingFromStringBinding failed, error code: 14", "0", false,
                              "RpcBindingFree failed, error code: "},
                      Failure{"RpcHeap", "HeapCreate:8", "Allocate rpc heap failed, error code: 8",
                              "0", false, ""},
                      Failure{"PostContext", "PostQueuedCompletionStatus:1450:5",
                              "PostQueuedCompletionStatus failed, error code: 1450", "0", true, ""},
                      Failure{"FifthWorker", "CreateThread:8:4",
                              "Create worker thread failed, error code: 8", "0", true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Failures of a chunk once the workers run: the run fails, the destination
// is still closed, and the process still ends.
class ChunkFailure : public ::testing::Test {
 protected:
  void SetUp() override { server_.start(); }

  RunResult run(const std::string& fail_call, const std::string& mode = "") {
    std::vector<std::string> args = {"127.0.0.1", server_.port_text(), "1", "7", "0"};
    if (!mode.empty()) args.push_back(mode);
    return run_trvc(dir_, args, {{"TRV_FAIL_CALL", fail_call}});
  }

  void expect_failed_run(const RunResult& result, const std::string& report) {
    EXPECT_EQ(result.exit_code, 1);
    int at = find_message(result.log, report);
    ASSERT_NE(at, -1) << "missing: " << report << "\nstderr: " << result.err;
    EXPECT_EQ(result.log[at].level, "ERROR");
    int failed = find_message(result.log, "Replicate failed.");
    ASSERT_NE(failed, -1);
    EXPECT_GT(failed, at);
    EXPECT_EQ(server_.close_calls(), 1);
  }

  TempDir dir_;
  ScriptedReplicationServer server_;
};

TEST_F(ChunkFailure, ReadThatCannotStartNamesItsOffset) {
  write_file(dir_.drive(1), pattern(4 * kMiB, 2));
  // The third read fails as it starts; which chunk it carries depends on
  // which worker calls first.
  RunResult result = run("ReadFile:23:2");
  EXPECT_EQ(result.exit_code, 1);
  int failed = -1;
  for (std::size_t i = 0; i < result.log.size(); ++i) {
    for (std::uint64_t offset : {0, 1, 2, 3}) {
      if (result.log[i].message ==
          "Read device failed, offset: " + std::to_string(offset * kMiB) + ", error code : 23") {
        failed = static_cast<int>(i);
      }
    }
  }
  ASSERT_NE(failed, -1) << result.err;
  EXPECT_EQ(result.log[failed].level, "ERROR");
  EXPECT_NE(find_message(result.log, "Replicate failed."), -1);
  EXPECT_EQ(server_.close_calls(), 1);
  EXPECT_EQ(server_.replicated_offsets().size(), 3u);
}

TEST_F(ChunkFailure, ReadThatCompletesWithAnErrorNamesItsOffset) {
  write_file(dir_.drive(1), pattern(kMiB, 3));
  RunResult result = run("ReadFile.completion:23");
  expect_failed_run(result, "handle_chunks failed, offset: 0, error code : 23");
  EXPECT_TRUE(server_.replicated_offsets().empty());
}

TEST_F(ChunkFailure, RecycledContextThatCannotBePostedFailsTheRun) {
  write_file(dir_.drive(1), pattern(kMiB, 4));
  // 16 posts start the contexts and the 17th recycles the one chunk (the
  // runtime's completions do not count: they are the system's own posts).
  RunResult result = run("PostQueuedCompletionStatus:1450:16");
  expect_failed_run(result, "PostQueuedCompletionStatus failed, error code: 1450");
  EXPECT_EQ(server_.replicated_offsets().size(), 1u);
}

TEST_F(ChunkFailure, LostWakeUpOnlyDelaysTheEnd) {
  write_file(dir_.drive(1), pattern(kMiB, 4));
  // The 18th post is the first wake-up after the last context was dropped;
  // the workers then leave at their next wait time-out instead.
  RunResult result = run("PostQueuedCompletionStatus:1450:17");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(find_message(result.log, "Replicate succ."), -1);
  EXPECT_EQ(server_.replicated_offsets().size(), 1u);
  EXPECT_EQ(server_.close_calls(), 1);
}

TEST_F(ChunkFailure, CallStateThatCannotBePreparedSendsNothing) {
  write_file(dir_.drive(1), pattern(kMiB, 5));
  RunResult result = run("RpcAsyncInitializeHandle:1914");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(
      count_prefix(result.log, "Invoke rpc method RpcAsyncInitializeHandle failed, rpc status: "),
      1)
      << result.err;
  EXPECT_TRUE(server_.replicated_offsets().empty());
  EXPECT_NE(find_message(result.log, "Replicate failed."), -1);
}

TEST_F(ChunkFailure, CallThatCannotBeMadeFailsTheRun) {
  write_file(dir_.drive(1), pattern(2 * kMiB, 6));
  RunResult result = run("Ndr64AsyncClientCall:1726", "incremental_sync");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("Invoke rpc method compare failed, exception code: 1726"),
            std::string::npos)
      << result.err;
  // The failed call halts the run: the other chunk is compared only when it
  // was sent before the failure.
  EXPECT_LE(server_.compared_offsets().size(), 1u);
  EXPECT_NE(find_message(result.log, "Replicate failed."), -1);
  EXPECT_EQ(server_.close_calls(), 1);
}

TEST_F(ChunkFailure, CloseThatCannotBeMadeFailsASuccessfulRun) {
  write_file(dir_.drive(1), pattern(kMiB, 7));
  // The first synchronous call opens, the second closes.
  RunResult result = run("NdrClientCall3:1726:1");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("Invoke rpc method close_device failed, exception code: 1726"),
            std::string::npos)
      << result.err;
  int succeeded = find_message(result.log, "Replicate succ.");
  int close_failed = find_message(result.log, "Close physical disk failed on destination.");
  ASSERT_NE(succeeded, -1);
  EXPECT_GT(close_failed, succeeded);
  EXPECT_EQ(result.log.back().message,
            "Replicate failed: the destination did not confirm the close (no answer).");
  EXPECT_EQ(server_.close_calls(), 0);
}

}  // namespace
}  // namespace e2e
