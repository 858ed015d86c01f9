// trvs never holds a disk for a client that went silent, and keeps serving
// through what stops or starves it: a frozen trvc loses its disk after the
// idle bound, a trvs stopped and continued serves the next run, and a trvs out
// of descriptors says so and serves again once clients have left. Real trvs
// and trvc processes on loopback.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "dcerpc/socket.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The pooled connections of trvc ping well within the 2 s bound used here.
const std::vector<std::pair<std::string, std::string>> kQuickPings = {
    {"TRV_TEST_BOUNDS", "rpc.keepalive=500"}};

// Waits until the server's log holds `text`; false after a minute.
bool wait_for_log(const TrvsProcess& server, const std::string& text) {
  return eventually([&] { return server.log_text().find(text) != std::string::npos; });
}

class ServerIdleTest : public ::testing::Test {
 protected:
  // The same source on drive 0 of each client folder, and an empty image.
  void SetUp() override {
    source_ = pattern(kSourceLength, 17);
    write_file(first_.drive(0), source_);
    write_file(second_.drive(0), source_);
    dest_ = first_.path() / "dest.img";
    write_file(dest_, {});
  }

  static constexpr std::uint64_t kSourceLength = 24 * kMiB;
  TempDir first_;
  TempDir second_;
  std::vector<std::uint8_t> source_;
  std::filesystem::path dest_;
};

TEST_F(ServerIdleTest, AFrozenClientLosesItsDiskAfterTheIdleBound) {
  TrvsProcess server({"1=" + dest_.string()}, {"--idle-timeout", "2"});
  // 2 MiB/s: the run is still going when it is frozen.
  TrvcProcess frozen(first_, {"127.0.0.1", server.port_text(), "0", "1", "2048"}, kQuickPings);
  ASSERT_TRUE(wait_for_log(server, "disk 1 opened by group")) << server.log_text();
  frozen.signal(SIGSTOP);
  const auto stopped = Clock::now();
  ASSERT_TRUE(wait_for_log(server, "(connection ended)")) << server.log_text();
  const double held = std::chrono::duration<double>(Clock::now() - stopped).count();
  RecordProperty("seconds_disk_held_after_freeze", std::to_string(held));
  std::printf("a frozen trvc held the disk %.2f s after SIGSTOP (--idle-timeout 2)\n", held);
  const std::string log = server.log_text();
  EXPECT_NE(log.find("closed: no PDU for 2 s"), std::string::npos) << log;

  // Another run (another group) gets the disk while the first is still frozen.
  const RunResult next =
      run_trvc(second_, {"127.0.0.1", server.port_text(), "0", "1", "0"}, kQuickPings);
  EXPECT_EQ(next.exit_code, 0) << next.err;
  EXPECT_EQ(read_file(dest_), source_);
  frozen.signal(SIGKILL);
  frozen.wait();
}

TEST_F(ServerIdleTest, AStoppedAndContinuedServerServesTheNextClient) {
  TrvsProcess server({"1=" + dest_.string()}, {"--idle-timeout", "2"});
  ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
  // The client connects into the listen backlog and waits for its bind.
  TrvcProcess client(first_, {"127.0.0.1", server.port_text(), "0", "1", "0"}, kQuickPings);
  std::this_thread::sleep_for(std::chrono::seconds(3));  // longer than the idle bound
  ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
  const RunResult run = client.wait();
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(read_file(dest_), source_);

  const RunResult again = run_trvc(
      second_, {"127.0.0.1", server.port_text(), "0", "1", "0", "incremental_sync"}, kQuickPings);
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(ServerIdleTest, OutOfDescriptorsIsLoggedOnceAndServingResumes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer runtimes open descriptors of their own to start threads
  // and to report, so a process at its limit fails inside them, not in trvs.
  GTEST_SKIP() << "needs a build without sanitizers";
#endif
  // Standard streams, the listener and a few spare: fewer than the
  // connections opened below, enough for one trvc run (17 connections and
  // the disk's two descriptors) once they are gone.
  TrvsProcess server({"1=" + dest_.string()}, {}, 32);
  std::vector<rpc::Socket> crowd(48);
  for (auto& socket : crowd) {
    // The kernel completes each connection into the backlog, accepted or not.
    ASSERT_TRUE(rpc::connect_tcp("127.0.0.1", server.port(), &socket).is_ok());
  }
  ASSERT_TRUE(wait_for_log(server, "cannot accept connections: Too many open files; retrying"))
      << server.log_text();
  crowd.clear();

  const RunResult run = run_trvc(first_, {"127.0.0.1", server.port_text(), "0", "1", "0"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(read_file(dest_), source_);
  const std::string log = server.log_text();
  EXPECT_NE(log.find("accepting connections again"), std::string::npos) << log;
  // One line per episode, however many accepts failed in it: the two lines
  // alternate, and the last episode has ended.
  std::string sequence;
  for (std::size_t at = 0; (at = log.find("accept", at)) != std::string::npos; ++at) {
    if (log.compare(at - 7, 14, "cannot accept ") == 0) sequence += 'C';
    if (log.compare(at, 22, "accepting connections ") == 0) sequence += 'A';
  }
  ASSERT_FALSE(sequence.empty()) << log;
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    EXPECT_EQ(sequence[i], i % 2 == 0 ? 'C' : 'A') << log;
  }
  EXPECT_EQ(sequence.back(), 'A') << log;
  EXPECT_EQ(server.stop(), 0);
}

}  // namespace
}  // namespace e2e
