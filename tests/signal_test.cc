// trvc stopped by a signal in the middle of a copy: the chunks in flight
// finish, the run fails with its result line, the destination is closed, the
// console output is complete, and an incremental run afterwards finishes the
// copy. A second signal ends the process at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::uint64_t size_of(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

class SignalStop : public ::testing::TestWithParam<int> {};

TEST_P(SignalStop, FinishesInOrderAndAnIncrementalRunCompletesTheCopy) {
  TempDir dir;
  // At 8 chunks a second the last chunk would pass the limiter only after
  // about 8 s, so that even a slow machine (a sanitizer build under load)
  // signals long before it: the destination cannot have reached its end.
  const std::vector<std::uint8_t> source = pattern(64 * kMiB + 512, 11);
  write_file(dir.drive(0), source);
  const fs::path dest = dir.path() / "dest.img";
  write_file(dest, {});
  TrvsProcess server({"1=" + dest.string()});

  // 8 chunks a second: the stop comes with most of the disk still to copy.
  TrvcProcess trvc(dir, {"127.0.0.1", server.port_text(), "0", "1", "8192"});
  ASSERT_TRUE(eventually([&] { return size_of(dest) >= 2 * kMiB; })) << server.log_text();
  trvc.signal(GetParam());
  RunResult stopped = trvc.wait();

  EXPECT_EQ(stopped.exit_code, 1) << stopped.err;
  const int stop_line = find_message(stopped.log,
                                     "Stop requested: finishing the chunks in flight, then closing "
                                     "the destination");
  const int result_line = find_message(stopped.log, "Replicate failed.");
  ASSERT_NE(stop_line, -1) << stopped.err;
  ASSERT_NE(result_line, -1) << stopped.out;
  EXPECT_LT(stop_line, result_line);
  EXPECT_EQ(find_message(stopped.log, "Replicate succ."), -1);
  EXPECT_EQ(find_message(stopped.log, "Close physical disk failed on destination."), -1);
  // The redirected standard output was flushed to its last line.
  EXPECT_NE(stopped.out.find("Replicate failed."), std::string::npos) << stopped.out;
  // The server saw the close, not a vanished client.
  EXPECT_TRUE(eventually([&] {
    return server.log_text().find("(close_device)") != std::string::npos;
  })) << server.log_text();
  EXPECT_LT(size_of(dest), source.size()) << "the stop came after the whole copy";

  RunResult resumed =
      run_trvc(dir, {"127.0.0.1", server.port_text(), "0", "1", "0", "incremental_sync"});
  ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
  const std::vector<std::uint8_t> copy = read_file(dest);
  ASSERT_GE(copy.size(), source.size());
  EXPECT_TRUE(std::equal(source.begin(), source.end(), copy.begin()));
}

INSTANTIATE_TEST_SUITE_P(EachSignal, SignalStop, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT    ? "SIGINT"
                                              : info.param == SIGTERM ? "SIGTERM"
                                                                      : "SIGHUP");
                         });

// A chunk whose answer takes long holds the orderly stop; a second signal
// does not wait for it.
TEST(SignalStopTwice, SecondSignalEndsAtOnceWithStatusOne) {
  TempDir dir;
  write_file(dir.drive(0), pattern(4 * kMiB, 12));
  ScriptedReplicationServer server;
  server.script.slow_offset = 0;
  server.script.slow_delay = std::chrono::milliseconds(8000);
  server.start();
  TrvcProcess trvc(dir, {"127.0.0.1", server.port_text(), "0", "1", "0"});
  // The stop must find the slow chunk in flight: the server has it. Under a
  // sanitizer the log's "Replicating chunks" can come well before the first
  // chunk is sent, and a stop then leaves nothing in flight to wait for.
  ASSERT_TRUE(eventually([&] {
    const std::vector<std::uint64_t> offsets = server.replicated_offsets();
    return count_prefix(read_log(dir.path()), "Stop requested") == 0 &&
           find_message(read_log(dir.path()), "Replicating chunks") != -1 &&
           std::find(offsets.begin(), offsets.end(), 0) != offsets.end();
  }));
  trvc.signal(SIGINT);
  ASSERT_TRUE(
      eventually([&] { return count_prefix(read_log(dir.path()), "Stop requested") == 1; }));
  trvc.signal(SIGTERM);
  RunResult result = trvc.wait();
  EXPECT_EQ(result.exit_code, 1);
  // It ended before the slow answer came, so before the result and the close.
  EXPECT_EQ(find_message(result.log, "Replicate failed."), -1);
  EXPECT_EQ(server.close_calls(), 0);
}

}  // namespace
}  // namespace e2e
