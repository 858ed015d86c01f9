// The client against a server whose answers each test scripts: refusals and
// wrong result codes, a vanished server, a slow answer that arrives after
// every other chunk is done, and what the log shows for a run (line order,
// progress lines, the bandwidth limit).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

class ServerAnswers : public ::testing::Test {
 protected:
  // The server starts here, once the test has written its script: starting
  // its threads is what publishes the script to them.
  RunResult run(const std::string& mode = "", const std::string& limit = "0") {
    server_.start();
    std::vector<std::string> args = {"127.0.0.1", server_.port_text(), "1", "7", limit};
    if (!mode.empty()) args.push_back(mode);
    return run_trvc(dir_, args);
  }

  void expect_error(const RunResult& result, const std::string& message) {
    int at = find_message(result.log, message);
    ASSERT_NE(at, -1) << "missing: " << message << "\nstderr: " << result.err;
    EXPECT_EQ(result.log[at].level, "ERROR");
    EXPECT_NE(result.err.find(message), std::string::npos) << "not echoed to stderr";
  }

  // "Replicate failed." or "Replicate succ." comes before the close, which
  // comes last.
  void expect_result_line(const RunResult& result, const std::string& line) {
    int at = find_message(result.log, line);
    ASSERT_NE(at, -1) << line;
    EXPECT_EQ(result.log[at].level, "INFO");
  }

  TempDir dir_;
  ScriptedReplicationServer server_;
};

TEST_F(ServerAnswers, RefusedOpenStopsBeforeAnyChunk) {
  write_file(dir_.drive(1), pattern(3 * kMiB, 1));
  server_.script.open_result = 108;
  RunResult result = run();
  EXPECT_EQ(result.exit_code, 1);
  expect_error(result, "Open physical disk failed on destination, stop replication.");
  EXPECT_EQ(find_message(result.log, "Initilazing chunks"), -1);
  EXPECT_TRUE(server_.replicated_offsets().empty());
  EXPECT_EQ(server_.close_calls(), 0);
}

TEST_F(ServerAnswers, UnexpectedCompareAnswerFailsTheRunWithItsOffset) {
  write_file(dir_.drive(1), pattern(kMiB, 2));
  server_.script.compare_result = 100;  // a replicate code, not a compare code
  RunResult result = run("incremental_sync");
  EXPECT_EQ(result.exit_code, 1);
  expect_error(result, "Compare failed, offset: 0, error code : 100");
  expect_result_line(result, "Replicate failed.");
  EXPECT_TRUE(server_.replicated_offsets().empty());
  EXPECT_EQ(server_.close_calls(), 1);
}

TEST_F(ServerAnswers, RejectedReplicateFailsTheRunButTheOtherChunksGoOn) {
  write_file(dir_.drive(1), pattern(8 * kMiB, 3));
  server_.script.replicate_fault_offset = 3 * kMiB;
  server_.script.replicate_result = 104;
  RunResult result = run();
  EXPECT_EQ(result.exit_code, 1);
  expect_error(result, "Replicate failed, offset: 3145728, error code : 104");
  expect_result_line(result, "Replicate failed.");
  EXPECT_EQ(find_message(result.log, "Replicate succ."), -1);
  EXPECT_EQ(server_.replicated_offsets().size(), 8u);
  EXPECT_EQ(server_.close_calls(), 1);
  // The close is the run's last word: it comes after the result line.
  EXPECT_EQ(result.log.back().message, "Replicate failed.");
}

TEST_F(ServerAnswers, VanishingServerFailsTheRun) {
  write_file(dir_.drive(1), pattern(6 * kMiB, 4));
  server_.script.replicate_fault_offset = 2 * kMiB;
  server_.script.replicate_result = std::nullopt;  // drop the connection
  RunResult result = run();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_GE(count_prefix(result.log, "Invoke rpc method Replicate failed, rpc status: "), 1)
      << result.err;
  expect_result_line(result, "Replicate failed.");
}

TEST_F(ServerAnswers, NoServerListeningFailsAtTheOpen) {
  write_file(dir_.drive(1), pattern(kMiB, 5));
  std::uint16_t port = unused_port();
  RunResult result = run_trvc(dir_, {"127.0.0.1", std::to_string(port), "1", "7", "0"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("Invoke rpc method open_device failed, exception code: 1722"),
            std::string::npos)
      << result.err;
  // Binding does not contact the server, so the set-up still completes.
  EXPECT_NE(find_message(result.log, "Initialize client done"), -1);
  expect_error(result, "Open physical disk failed on destination, stop replication.");
}

// trvs answers 11 when the destination changed under the open (a file
// renamed over it, a cut): every chunk was answered, yet the run failed.
TEST_F(ServerAnswers, CloseNotAnsweredClosedFailsAGoodRun) {
  write_file(dir_.drive(1), pattern(2 * kMiB, 6));
  for (std::int32_t answer : {11, 100}) {
    ScriptedReplicationServer server;
    server.script.close_result = answer;
    server.start();
    RunResult result = run_trvc(dir_, {"127.0.0.1", server.port_text(), "1", "7", "0"});
    EXPECT_EQ(result.exit_code, 1);
    int succeeded = find_message(result.log, "Replicate succ.");
    int close_failed = find_message(result.log, "Close physical disk failed on destination.");
    ASSERT_NE(succeeded, -1);
    ASSERT_EQ(close_failed, succeeded + 1);
    EXPECT_EQ(result.log[close_failed].level, "ERROR");
    ASSERT_EQ(result.log.size(), static_cast<std::size_t>(close_failed) + 2);
    EXPECT_EQ(result.log.back().message,
              "Replicate failed: the destination did not confirm the close (answer " +
                  std::to_string(answer) + ").");
    EXPECT_EQ(result.log.back().level, "ERROR");
  }
}

// One answer comes after the dispenser is empty and after the workers' port
// wait has timed out at least once: the run must wait for it.
TEST_F(ServerAnswers, LateAnswerIsWaitedForBeforeTheResult) {
  write_file(dir_.drive(1), pattern(3 * kMiB, 7));
  server_.script.slow_offset = 2 * kMiB;
  server_.script.slow_delay = std::chrono::milliseconds(10500);
  RunResult result = run();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(server_.close_came_after_slow_answer());
  EXPECT_NE(find_message(result.log, "Replicate succ."), -1);
}

TEST_F(ServerAnswers, LateFailureFailsTheRun) {
  write_file(dir_.drive(1), pattern(3 * kMiB, 8));
  server_.script.slow_offset = 2 * kMiB;
  server_.script.slow_delay = std::chrono::milliseconds(10500);
  server_.script.slow_result = 104;
  RunResult result = run();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(server_.close_came_after_slow_answer());
  expect_error(result, "Replicate failed, offset: 2097152, error code : 104");
  expect_result_line(result, "Replicate failed.");
  EXPECT_EQ(find_message(result.log, "Replicate succ."), -1);
}

TEST_F(ServerAnswers, GoodRunLogsItsStepsInOrder) {
  write_file(dir_.drive(1), pattern(2 * kMiB + 3, 9));
  RunResult result = run();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::string> expected = {
      "start trvc, src_disk_index: 1",
      "start trvc, dest_disk_index: 7",
      "start trvc, bandwidth_limit: 0",
      "Initilazing client",
      "Open device succ, disk size: " + std::to_string(2 * kMiB + 3),
      "Initialize client done",
      "Initilazing chunks",
      "Initialize chunks done",
      "Initilazing workers",
      "Replicating chunks",
      "Replicate succ.",
  };
  EXPECT_EQ(messages(result.log), expected);
  for (const LogLine& line : result.log) EXPECT_EQ(line.level, "INFO") << line.message;
  EXPECT_TRUE(result.err.empty()) << result.err;
}

TEST_F(ServerAnswers, ProgressLineOnEach100MiBBoundaryOnly) {
  make_sparse_file(dir_.drive(1), 300 * kMiB);
  server_.script.store = false;
  RunResult result = run();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(server_.replicated_offsets().size(), 300u);
  std::vector<std::string> progress;
  for (const LogLine& line : result.log) {
    if (line.level == "DEBUG") progress.push_back(line.message);
  }
  ASSERT_EQ(progress.size(), 2u);
  std::vector<std::uint64_t> offsets(2);
  ASSERT_TRUE(parse_progress_line(progress[0], &offsets[0])) << progress[0];
  ASSERT_TRUE(parse_progress_line(progress[1], &offsets[1])) << progress[1];
  std::sort(offsets.begin(), offsets.end());
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{100 * kMiB, 200 * kMiB}));
  // Progress lines are echoed on standard output.
  EXPECT_NE(result.out.find("Replicated bytes: 104857600, speed: "), std::string::npos);
  // Both come before the result.
  EXPECT_EQ(result.log.back().message, "Replicate succ.");
}

TEST_F(ServerAnswers, IdenticalChunksStillCountForProgress) {
  make_sparse_file(dir_.drive(1), 101 * kMiB);
  server_.script.compare_result = 106;
  RunResult result = run("incremental_sync");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(server_.replicated_offsets().empty());
  EXPECT_EQ(server_.compared_offsets().size(), 101u);
  EXPECT_EQ(count_prefix(result.log, "Replicated bytes: 104857600, speed: "), 1);
  EXPECT_EQ(count_prefix(result.log, "Replicated bytes: "), 1);
}

TEST_F(ServerAnswers, BandwidthLimitSpacesTheChunks) {
  // 2048 KB/s is two chunks per second: four chunks pass at 0.5 s intervals
  // after the set-up, so the run cannot finish in less than 1.5 s.
  write_file(dir_.drive(1), pattern(4 * kMiB, 10));
  RunResult result = run("", "2048");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_GE(result.seconds, 1.5);
  EXPECT_EQ(server_.replicated_offsets().size(), 4u);
}

}  // namespace
}  // namespace e2e
