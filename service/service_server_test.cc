// ReplicationServer end to end with a raw client: the four procedures in
// both syntaxes, a 1 MiB replicate in wire-sized fragments, stubs that do not
// decode, a handler that drops the connection, and group endings.
#include "service/service_server.h"

#include <gtest/gtest.h>

#include <mutex>

#include "dcerpc/server_testing.h"
#include "service/server_result.h"
#include "service/service_ndr.h"

namespace {

using rpc::testing::RawClient;

// Records every call; answers with the configured results.
class FakeHandler : public ReplicationHandler {
 public:
  std::optional<std::int32_t> open_device(const Caller& caller, std::int16_t dest) override {
    std::lock_guard lock(mu);
    seen(caller);
    log.push_back("open " + std::to_string(dest));
    return open_result;
  }
  std::optional<std::int32_t> replicate(const Caller& caller, const ReplicateRequest& a) override {
    std::lock_guard lock(mu);
    seen(caller);
    log.push_back("replicate " + std::to_string(a.dest) + " " + std::to_string(a.offset));
    digest.assign(a.digest.begin(), a.digest.end());
    data.assign(a.data.begin(), a.data.end());
    return replicate_result;
  }
  std::optional<std::int32_t> compare(const Caller& caller, const CompareRequest& a) override {
    std::lock_guard lock(mu);
    seen(caller);
    log.push_back("compare " + std::to_string(a.dest) + " " + std::to_string(a.offset) + " " +
                  std::to_string(a.data_length));
    digest.assign(a.digest.begin(), a.digest.end());
    return compare_result;
  }
  std::optional<std::int32_t> close_device(const Caller& caller, std::int16_t dest) override {
    std::lock_guard lock(mu);
    seen(caller);
    log.push_back("close " + std::to_string(dest));
    return close_result;
  }
  void group_ended(std::uint32_t group) override {
    std::lock_guard lock(mu);
    ended.push_back(group);
  }
  // Who made each call: "PEER GROUP". Caller holds mu.
  void seen(const Caller& caller) {
    last_group = caller.group;
    callers.push_back(caller.peer + " " + std::to_string(caller.group));
  }
  std::vector<std::string> callers;

  std::mutex mu;
  std::vector<std::string> log;
  std::vector<std::uint32_t> ended;
  std::vector<std::uint8_t> digest, data;
  std::uint32_t last_group = 0;
  std::optional<std::int32_t> open_result = Opened;
  std::optional<std::int32_t> replicate_result = Replicated;
  std::optional<std::int32_t> compare_result = Identical;
  std::optional<std::int32_t> close_result = Closed;
};

class ServiceServerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    rpc::ServerOptions options;
    options.accept_ndr64 = GetParam();
    server_ = std::make_unique<ReplicationServer>(options);
    rpc::Status s = server_->start(handler_);
    ASSERT_TRUE(s.is_ok()) << s.to_string();
    client_ = std::make_unique<RawClient>(server_->port());
    rpc::BindAck ack;
    context_ = client_->bind_windows_style(0, &ack);
    ASSERT_GE(context_, 0);
    group_ = ack.assoc_group_id;
    syntax_ = GetParam() ? Syntax::Ndr64 : Syntax::Ndr20;
  }
  void TearDown() override { server_->stop(); }

  // Sends a call (fragmented as a Windows client would) and returns the
  // answer.
  RawClient::Answer call(std::uint16_t opnum, std::span<const std::uint8_t> stub) {
    EXPECT_TRUE(
        client_->send_request(++call_id_, static_cast<std::uint16_t>(context_), opnum, stub, 5816)
            .is_ok());
    RawClient::Answer answer;
    rpc::Status s = client_->read_answer(&answer);
    EXPECT_TRUE(s.is_ok()) << s.to_string();
    EXPECT_EQ(answer.call_id, call_id_);
    return answer;
  }
  std::int32_t result_of(const RawClient::Answer& answer) {
    EXPECT_FALSE(answer.fault) << std::hex << answer.fault_status;
    std::int32_t result = 0;
    EXPECT_TRUE(decode_result_response(answer.stub, &result).is_ok());
    return result;
  }

  FakeHandler handler_;
  std::unique_ptr<ReplicationServer> server_;
  std::unique_ptr<RawClient> client_;
  int context_ = -1;
  std::uint32_t group_ = 0;
  std::uint32_t call_id_ = 1;
  Syntax syntax_ = Syntax::Ndr20;
};

TEST_P(ServiceServerTest, OpenAndCloseDevice) {
  std::uint8_t stub[kDeviceRequestSize];
  encode_device_request(3, stub);
  EXPECT_EQ(result_of(call(kOpenDeviceOpnum, stub)), Opened);
  encode_device_request(-1, stub);
  EXPECT_EQ(result_of(call(kCloseDeviceOpnum, stub)), Closed);
  EXPECT_EQ(handler_.log, (std::vector<std::string>{"open 3", "close -1"}));
  EXPECT_EQ(handler_.last_group, group_);
  const auto stats = server_->stats();
  EXPECT_EQ(stats.binds_ndr64, GetParam() ? 1u : 0u);
  EXPECT_EQ(stats.binds_ndr20, GetParam() ? 0u : 1u);
}

TEST_P(ServiceServerTest, ReplicateOneMebibyteInWireFragments) {
  std::vector<std::uint8_t> digest(16), data(1 << 20);
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 9);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 9));
  auto stub = encode_replicate_request(syntax_, 2, std::int64_t{5} << 20, digest, data);
  EXPECT_EQ(result_of(call(kReplicateOpnum, stub)), Replicated);
  EXPECT_EQ(handler_.log.back(), "replicate 2 5242880");
  EXPECT_EQ(handler_.digest, digest);
  EXPECT_TRUE(handler_.data == data);
}

TEST_P(ServiceServerTest, CompareCarriesTheLengthOnly) {
  std::vector<std::uint8_t> digest(16, 0x11);
  std::vector<std::uint8_t> stub(compare_request_size(syntax_, 16));
  encode_compare_request(syntax_, 7, 0x100000, digest, 1048576, stub);
  handler_.compare_result = Differs;
  EXPECT_EQ(result_of(call(kCompareOpnum, stub)), Differs);
  EXPECT_EQ(handler_.log.back(), "compare 7 1048576 1048576");
  EXPECT_EQ(handler_.digest, digest);
}

TEST_P(ServiceServerTest, AnyResultIsPassedThrough) {
  handler_.open_result = -123456;
  std::uint8_t stub[kDeviceRequestSize];
  encode_device_request(1, stub);
  EXPECT_EQ(result_of(call(kOpenDeviceOpnum, stub)), -123456);
}

TEST_P(ServiceServerTest, StubThatDoesNotDecodeFaultsWithoutReachingTheHandler) {
  auto stub = encode_replicate_request(syntax_, 2, 0, std::vector<std::uint8_t>(16, 1),
                                       std::vector<std::uint8_t>(100, 2));
  auto wrong = stub;
  wrong[wrong.size() - 100 - (syntax_ == Syntax::Ndr20 ? 4 : 8)] = 99;  // data conformance
  std::vector<std::vector<std::uint8_t>> bad = {
      wrong,
      {stub.begin(), stub.end() - 1},  // short
      {3},                             // open with one byte
  };
  const std::uint16_t opnums[] = {kReplicateOpnum, kReplicateOpnum, kOpenDeviceOpnum};
  for (std::size_t i = 0; i < bad.size(); ++i) {
    RawClient::Answer answer = call(opnums[i], bad[i]);
    EXPECT_TRUE(answer.fault) << i;
    EXPECT_EQ(answer.fault_status, 0x6F7u) << i;
    EXPECT_EQ(answer.fault_flags & rpc::pfc::kDidNotExecute, rpc::pfc::kDidNotExecute);
  }
  // Trailing bytes after a compare.
  std::vector<std::uint8_t> compare(compare_request_size(syntax_, 16) + 4);
  encode_compare_request(syntax_, 1, 0, std::vector<std::uint8_t>(16), 1, compare);
  EXPECT_EQ(call(kCompareOpnum, compare).fault_status, 0x6F7u);
  EXPECT_TRUE(handler_.log.empty());
  // The connection still serves good calls.
  std::uint8_t open[kDeviceRequestSize];
  encode_device_request(3, open);
  EXPECT_EQ(result_of(call(kOpenDeviceOpnum, open)), Opened);
}

TEST_P(ServiceServerTest, UnknownOpnum) {
  std::uint8_t stub[kDeviceRequestSize] = {};
  RawClient::Answer answer = call(4, stub);
  EXPECT_TRUE(answer.fault);
  EXPECT_EQ(answer.fault_status, rpc::nca::kOpRngError);
  EXPECT_EQ(answer.fault_flags, 0x23);
}

TEST_P(ServiceServerTest, HandlerWithoutResultDropsTheConnection) {
  handler_.replicate_result = std::nullopt;
  auto stub = encode_replicate_request(syntax_, 2, 0, std::vector<std::uint8_t>(16),
                                       std::vector<std::uint8_t>(10));
  ASSERT_TRUE(
      client_->send_request(9, static_cast<std::uint16_t>(context_), kReplicateOpnum, stub).is_ok());
  EXPECT_TRUE(client_->wait_closed());
}

TEST_P(ServiceServerTest, GroupEndsWhenItsLastConnectionCloses) {
  {
    RawClient second(server_->port());
    rpc::BindAck ack;
    ASSERT_GE(second.bind_windows_style(group_, &ack), 0);
    EXPECT_EQ(ack.assoc_group_id, group_);
  }
  client_->socket().close();
  while (server_->stats().groups_ended == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::lock_guard lock(handler_.mu);
  EXPECT_EQ(handler_.ended, std::vector<std::uint32_t>{group_});
}

// Every procedure gets the group and the address the call came from.
TEST_P(ServiceServerTest, EveryProcedureTellsTheHandlerWhoCalled) {
  FakeHandler handler;
  ReplicationServer server;
  ASSERT_TRUE(server.start(handler).is_ok());
  RawClient client(server.port());
  rpc::BindAck ack;
  const int context = client.bind_windows_style(0, &ack);
  ASSERT_GE(context, 0);
  std::uint8_t device[kDeviceRequestSize];
  encode_device_request(1, device);
  std::uint32_t call_id = 1;
  for (std::uint16_t opnum : {kOpenDeviceOpnum, kCloseDeviceOpnum}) {
    ASSERT_TRUE(
        client.send_request(++call_id, static_cast<std::uint16_t>(context), opnum, device, 5816)
            .is_ok());
    RawClient::Answer answer;
    ASSERT_TRUE(client.read_answer(&answer).is_ok());
  }
  server.stop();
  const std::string expected = "127.0.0.1 " + std::to_string(ack.assoc_group_id);
  EXPECT_EQ(handler.callers, (std::vector<std::string>{expected, expected}));
  EXPECT_EQ(handler.log, (std::vector<std::string>{"open 1", "close 1"}));
}

INSTANTIATE_TEST_SUITE_P(Syntaxes, ServiceServerTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Ndr64" : "Ndr20Only"; });

TEST(ReplicationServerTest, StopBeforeStartAndTwiceIsHarmless) {
  ReplicationServer unstarted;
  unstarted.stop();
  EXPECT_EQ(unstarted.port(), 0);
  FakeHandler handler;
  ReplicationServer server;
  ASSERT_TRUE(server.start(&handler).is_ok());
  EXPECT_EQ(server.start(handler).code(), rpc::status::kInvalidArg);
  server.stop();
  server.stop();
}

TEST(ReplicationServerTest, BusyPortFailsAndLeavesNothingRunning) {
  FakeHandler handler;
  ReplicationServer first;
  ASSERT_TRUE(first.start(handler).is_ok());
  rpc::ServerOptions options;
  options.port = first.port();
  ReplicationServer second(options);
  EXPECT_EQ(second.start(handler).code(), rpc::status::kServerUnavailable);
  EXPECT_EQ(second.port(), 0);
  first.stop();
  // The port is free again: the same object may now start.
  EXPECT_TRUE(second.start(handler).is_ok());
  EXPECT_EQ(second.port(), options.port);
}

TEST(ReplicationServerTest, ListensOnIpv6Loopback) {
  FakeHandler handler;
  rpc::ServerOptions options;
  options.address = "::1";
  ReplicationServer server(options);
  rpc::Status s = server.start(handler);
  if (!s.is_ok()) GTEST_SKIP() << "no IPv6 loopback: " << s.to_string();
  rpc::Socket socket;
  ASSERT_TRUE(rpc::connect_tcp("[::1]", server.port(), &socket).is_ok());
}

}  // namespace

// The allow list reaches the runtime: a peer outside it is never served.
TEST(ReplicationServerTest, APeerOutsideTheAllowListIsNotServed) {
  FakeHandler handler;
  rpc::ServerOptions options;
  rpc::AddressRange only_v6;
  std::string error;
  ASSERT_TRUE(rpc::parse_address_range("::1", &only_v6, &error)) << error;
  options.allow = {only_v6};
  ReplicationServer server(options);
  ASSERT_TRUE(server.start(handler).is_ok());
  // Closed at accept: the first read sees the end (or a reset), not a byte.
  rpc::Socket socket;
  ASSERT_TRUE(rpc::connect_tcp("127.0.0.1", server.port(), &socket).is_ok());
  std::uint8_t byte = 0;
  std::size_t received = 0;
  const rpc::Status read = socket.read_some(&byte, 1, &received);
  EXPECT_TRUE(!read.is_ok() || received == 0);
  server.stop();
  EXPECT_TRUE(handler.log.empty());
}
