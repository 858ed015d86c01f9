// A real copy into trvs while other peers on the machine misbehave: one
// holds far more connections than its share, one sends a byte a second, and
// one binds into the copy's association group or guesses its neighbours.
// Each comes from its own loopback address, as distinct peers do; a hoarder
// on the client's own address too.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dcerpc/server_testing.h"
#include "service/interface.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using rpc::testing::RawClient;

// The PDU type of the answer to a bind that names `group`, sent from
// `local_address`; 0 when the server closed the connection without one.
std::uint8_t bind_answer(std::uint16_t port, const std::string& local_address,
                         std::uint32_t group) {
  RawClient client(port, local_address);
  EXPECT_TRUE(client
                  .send(rpc::encode_bind(1, rpc::pfc::kSingleFrag,
                                         rpc::bind_for(replication_service_offer(), group)))
                  .is_ok());
  std::vector<std::uint8_t> pdu;
  if (!client.read_pdu(&pdu).is_ok()) return 0;
  return pdu[2];
}

class HostilePeers : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = pattern(24 * kMiB + 100, 21);
    write_file(dir_.drive(0), source_);
    dest_ = dir_.path() / "dest.img";
    write_file(dest_, {});
  }

  void expect_exact_copy() {
    const std::vector<std::uint8_t> copy = read_file(dest_);
    ASSERT_GE(copy.size(), source_.size());
    EXPECT_TRUE(std::equal(source_.begin(), source_.end(), copy.begin()));
  }

  TempDir dir_;
  std::vector<std::uint8_t> source_;
  fs::path dest_;
};

TEST_F(HostilePeers, AConnectionHoarderAndASlowPeerDoNotStopARealCopy) {
  TrvsProcess server({"1=" + dest_.string()}, {"--max-peer-connections", "100"});

  // 400 connections from one peer, held open without a byte: a quarter of
  // them are served (and idle), the rest refused at accept.
  std::vector<std::unique_ptr<RawClient>> hoard;
  for (int i = 0; i < 400; ++i) {
    hoard.push_back(std::make_unique<RawClient>(server.port(), "127.0.0.2"));
  }
  // One byte of a bind every 200 ms from another peer, for as long as the
  // copy takes (at most 30 s).
  std::atomic<bool> copy_done{false};
  std::thread slow([&] {
    RawClient client(server.port(), "127.0.0.3");
    const std::vector<std::uint8_t> bind =
        rpc::encode_bind(1, rpc::pfc::kSingleFrag, rpc::bind_for(replication_service_offer(), 0));
    for (std::size_t i = 0; i < bind.size() && i < 150 && !copy_done.load(); ++i) {
      if (!client.send(std::span(&bind[i], 1)).is_ok()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });

  const RunResult run = run_trvc(dir_, {"127.0.0.1", server.port_text(), "0", "1", "0"});
  copy_done.store(true);
  slow.join();
  EXPECT_EQ(run.exit_code, 0) << run.err << server.log_text();
  expect_exact_copy();
  // The hoarder's newest connections took the slots of its oldest.
  EXPECT_NE(server.log_text().find(
                " closed: not bound, its slot given to a new connection from 127.0.0.2"),
            std::string::npos)
      << server.log_text();
}

// A thousand silent connections from the client's own address, opened before
// the copy and held through it, take no slot the copy needs.
TEST_F(HostilePeers, AThousandSilentConnectionsFromTheClientsAddressDoNotStopACopy) {
  constexpr rlim_t kHoard = 1000;
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < kHoard + 200) {
    if (limit.rlim_max < kHoard + 200) GTEST_SKIP() << "needs " << kHoard + 200 << " descriptors";
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  TrvsProcess server({"1=" + dest_.string()});
  std::vector<std::unique_ptr<RawClient>> hoard;
  for (rlim_t i = 0; i < kHoard; ++i) {
    hoard.push_back(std::make_unique<RawClient>(server.port(), "127.0.0.1"));
  }
  const RunResult run = run_trvc(dir_, {"127.0.0.1", server.port_text(), "0", "1", "0"});
  EXPECT_EQ(run.exit_code, 0) << run.err << server.log_text();
  expect_exact_copy();
  // Hundreds of connections closed for newcomers, in a line a minute.
  const std::string log = server.log_text();
  std::size_t lines = 0;
  for (std::size_t at = log.find(" closed: not bound"); at != std::string::npos;
       at = log.find(" closed: not bound", at + 1)) {
    ++lines;
  }
  EXPECT_GE(lines, 1u) << log;
  EXPECT_LE(lines, 5u) << log;
  hoard.clear();
}

TEST_F(HostilePeers, NoOtherPeerCanJoinARunningCopysGroup) {
  TrvsProcess server({"1=" + dest_.string()});
  // Slow enough to be running while the intruders try.
  TrvcProcess victim(dir_, {"127.0.0.1", server.port_text(), "0", "1", "8192"});
  std::uint32_t group = 0;
  ASSERT_TRUE(eventually([&] {
    const std::string log = server.log_text();
    const std::size_t at = log.find("disk 1 opened by group ");
    if (at == std::string::npos) return false;
    group = static_cast<std::uint32_t>(std::stoul(log.substr(at + 23)));
    return true;
  })) << server.log_text();

  const auto bind_nak = static_cast<std::uint8_t>(rpc::PacketType::BindNak);
  // The group itself, from another address.
  EXPECT_EQ(bind_answer(server.port(), "127.0.0.2", group), bind_nak);
  // Its neighbours, from the victim's own address too: ids are not handed
  // out in sequence, so they name no group.
  for (std::uint32_t guess : {group - 1, group + 1, group - 2, group + 2}) {
    EXPECT_EQ(bind_answer(server.port(), "127.0.0.1", guess), bind_nak) << guess;
  }

  const RunResult run = victim.wait();
  EXPECT_EQ(run.exit_code, 0) << run.err << server.log_text();
  expect_exact_copy();
  EXPECT_NE(server.log_text().find("refused bind from 127.0.0.2:"), std::string::npos);
}

}  // namespace
}  // namespace e2e
