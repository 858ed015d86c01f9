// Hostile and broken peers against the runtime server: each abuse ends in a
// fault or a disconnect, never a crash or an allocation the peer chose, and
// the server goes on serving a fresh connection afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "dcerpc/server.h"
#include "dcerpc/server_testing.h"

namespace rpc {
namespace {

using testing::RawClient;
using testing::TestDispatcher;

class ServerRobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
  void start(ServerOptions options) {
    if (server_) server_->stop();
    server_ = testing::start_test_server(&dispatcher_, options);
    ASSERT_NE(server_, nullptr);
  }
  void TearDown() override {
    // After every abuse a new connection completes a good call.
    RawClient fresh(server_->port());
    ASSERT_EQ(fresh.bind_windows_style(), 1);
    const std::vector<std::uint8_t> stub = {9, 8, 7};
    ASSERT_TRUE(fresh.send_request(77, 1, 0, stub).is_ok());
    RawClient::Answer answer;
    ASSERT_TRUE(fresh.read_answer(&answer).is_ok());
    EXPECT_FALSE(answer.fault);
    EXPECT_EQ(answer.stub, stub);
    server_->stop();
  }

  std::unique_ptr<RawClient> bound_client() {
    auto client = std::make_unique<RawClient>(server_->port());
    EXPECT_EQ(client->bind_windows_style(), 1);
    return client;
  }
  // The next PDU is a fault with `status`; returns its header flags.
  std::uint8_t expect_fault(RawClient& client, std::uint32_t status) {
    RawClient::Answer answer;
    Status s = client.read_answer(&answer);
    EXPECT_TRUE(s.is_ok()) << s.to_string();
    EXPECT_TRUE(answer.fault);
    EXPECT_EQ(answer.fault_status, status);
    return answer.fault_flags;
  }
  std::vector<std::uint8_t> request_fragment(std::uint8_t flags, std::uint32_t call_id,
                                             std::uint32_t alloc_hint, std::uint16_t ctx,
                                             std::uint16_t opnum, std::size_t stub_size) {
    std::vector<std::uint8_t> pdu(kRequestHeaderSize + stub_size, 0x41);
    encode_request_header(pdu.data(), flags, static_cast<std::uint16_t>(pdu.size()), call_id,
                          alloc_hint, ctx, opnum);
    return pdu;
  }

  TestDispatcher dispatcher_;
  testing::EventRecorder events_;  // outlives server_, which reports into it
  std::unique_ptr<Server> server_;
};

TEST_F(ServerRobustnessTest, TruncatedHeader) {
  RawClient client(server_->port());
  const std::uint8_t part[10] = {5, 0, 11, 3, 0x10, 0, 0, 0, 0xa0, 0};
  ASSERT_TRUE(client.send(part).is_ok());
  client.socket().shutdown_write();
  EXPECT_TRUE(client.wait_closed());
}

TEST_F(ServerRobustnessTest, TruncatedBody) {
  auto client = bound_client();
  auto pdu = request_fragment(pfc::kSingleFrag, 2, 100, 1, 0, 100);
  ASSERT_TRUE(client->send({pdu.data(), 60}).is_ok());
  client->socket().shutdown_write();
  EXPECT_TRUE(client->wait_closed());
  EXPECT_TRUE(dispatcher_.calls().empty());
}

TEST_F(ServerRobustnessTest, FragLengthLongerThanWhatFollows) {
  auto client = bound_client();
  auto pdu = request_fragment(pfc::kSingleFrag, 2, 4, 1, 0, 4);
  put_u16(pdu.data() + 8, 4000);  // claims 4000, sends 28
  ASSERT_TRUE(client->send(pdu).is_ok());
  client->socket().shutdown_write();
  EXPECT_TRUE(client->wait_closed());
  EXPECT_TRUE(dispatcher_.calls().empty());
}

TEST_F(ServerRobustnessTest, FragLengthBelowTheHeader) {
  auto client = bound_client();
  auto pdu = request_fragment(pfc::kSingleFrag, 2, 4, 1, 0, 4);
  put_u16(pdu.data() + 8, 10);
  ASSERT_TRUE(client->send(pdu).is_ok());
  EXPECT_TRUE(client->wait_closed());
}

TEST_F(ServerRobustnessTest, FragLengthBelowTheRequestHeader) {
  auto client = bound_client();
  auto pdu = request_fragment(pfc::kSingleFrag, 2, 4, 1, 0, 4);
  put_u16(pdu.data() + 8, 20);  // a common header, then half a request header
  ASSERT_TRUE(client->send(pdu).is_ok());
  expect_fault(*client, nca::kProtoError);
  EXPECT_TRUE(client->wait_closed());
}

TEST_F(ServerRobustnessTest, FragLengthShorterThanTheStubSent) {
  auto client = bound_client();
  auto pdu = request_fragment(pfc::kSingleFrag, 2, 4, 1, 0, 40);
  put_u16(pdu.data() + 8, 24);  // the 40 "stub" bytes become the next header
  ASSERT_TRUE(client->send(pdu).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client->read_answer(&answer).is_ok());  // the empty call itself
  EXPECT_TRUE(answer.stub.empty());
  EXPECT_TRUE(client->wait_closed());  // then garbage
}

TEST_F(ServerRobustnessTest, AllocHintOfFourGigabytes) {
  auto client = bound_client();
  ASSERT_TRUE(client->send(request_fragment(pfc::kFirstFrag, 2, 0xFFFFFFFF, 1, 0, 5816)).is_ok());
  expect_fault(*client, nca::kProtoError);
  EXPECT_TRUE(client->wait_closed());
}

// A lying alloc_hint below the limit reserves at most the limit and the call
// still works with the real size.
TEST_F(ServerRobustnessTest, AllocHintIsOnlyAHint) {
  auto client = bound_client();
  ASSERT_TRUE(client->send(request_fragment(pfc::kFirstFrag, 2, 4u << 20, 1, 0, 8)).is_ok());
  ASSERT_TRUE(client->send(request_fragment(pfc::kLastFrag, 2, 0, 1, 0, 8)).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client->read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.stub.size(), 16u);
}

TEST_F(ServerRobustnessTest, RequestLargerThanTheLimit) {
  ServerOptions options;
  options.limits.max_request_stub = 64 * 1024;
  start(options);
  auto client = bound_client();
  std::vector<std::uint8_t> stub(64 * 1024 + 1, 1);
  // alloc_hint 0 hides the size; the server must count.
  Status s = client->send_request(2, 1, 0, stub, 5816, false);
  (void)s;  // the server may close while we are still sending
  RawClient::Answer answer;
  if (client->read_answer(&answer).is_ok()) {
    EXPECT_TRUE(answer.fault);
    EXPECT_EQ(answer.fault_status, nca::kProtoError);
  }
  EXPECT_TRUE(client->wait_closed());
  EXPECT_TRUE(dispatcher_.calls().empty());
}

TEST_F(ServerRobustnessTest, RequestAtTheLimitIsServed) {
  ServerOptions options;
  options.limits.max_request_stub = 64 * 1024;
  start(options);
  auto client = bound_client();
  std::vector<std::uint8_t> stub(64 * 1024, 1);
  ASSERT_TRUE(client->send_request(2, 1, 0, stub, 5816).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client->read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.stub.size(), stub.size());
}

TEST_F(ServerRobustnessTest, FragmentLargerThanNegotiated) {
  RawClient client(server_->port());
  BindAck ack = client.bind(trv_testing::windows_style_bind(0, 2048));
  ASSERT_EQ(ack.max_recv_frag, 2048);
  ASSERT_TRUE(client.send(request_fragment(pfc::kSingleFrag, 2, 3000, 1, 0, 3000)).is_ok());
  expect_fault(client, nca::kProtoError);
  EXPECT_TRUE(client.wait_closed());
  EXPECT_TRUE(dispatcher_.calls().empty());
}

TEST_F(ServerRobustnessTest, OversizedPduBeforeBind) {
  RawClient client(server_->port());
  std::vector<std::uint8_t> big =
      encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0));
  big.resize(60000);
  put_u16(big.data() + 8, 60000);
  ASSERT_TRUE(client.send(big).is_ok());
  EXPECT_TRUE(client.wait_closed());
}

TEST_F(ServerRobustnessTest, GarbageBytes) {
  std::mt19937 random(1234);
  for (int round = 0; round < 20; ++round) {
    RawClient client(server_->port());
    std::vector<std::uint8_t> junk(1 + random() % 3000);
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    if (round % 2) junk[0] = 5;  // sometimes looks like a version
    (void)client.send(junk);
    client.socket().shutdown_write();
    EXPECT_TRUE(client.wait_closed());
  }
}

// Valid-looking headers with random bodies after a good bind.
TEST_F(ServerRobustnessTest, RandomBodiesAfterBind) {
  std::mt19937 random(99);
  for (int round = 0; round < 30; ++round) {
    auto client = bound_client();
    const std::size_t size = 16 + random() % 200;
    std::vector<std::uint8_t> pdu(size);
    for (auto& b : pdu) b = static_cast<std::uint8_t>(random());
    CommonHeader header;
    header.type = static_cast<PacketType>(std::vector<int>{0, 11, 14, 0, 0}[round % 5]);
    header.flags = static_cast<std::uint8_t>(random());
    header.frag_length = static_cast<std::uint16_t>(size);
    encode_common_header(header, pdu.data());
    (void)client->send(pdu);
    client->socket().shutdown_write();
    EXPECT_TRUE(client->wait_closed());
  }
}

TEST_F(ServerRobustnessTest, RequestBeforeBind) {
  RawClient client(server_->port());
  ASSERT_TRUE(client.send(request_fragment(pfc::kSingleFrag, 2, 2, 0, 0, 2)).is_ok());
  expect_fault(client, nca::kProtoError);
  EXPECT_TRUE(client.wait_closed());
}

TEST_F(ServerRobustnessTest, UnknownOpnumFaultsButKeepsTheConnection) {
  auto client = bound_client();
  ASSERT_TRUE(client->send(request_fragment(pfc::kSingleFrag, 3, 2, 1, 5, 2)).is_ok());
  EXPECT_EQ(expect_fault(*client, nca::kOpRngError), 0x23);
  // Also when it comes in several fragments: the fault follows the last one.
  ASSERT_TRUE(client->send(request_fragment(pfc::kFirstFrag, 4, 16, 1, 0xFFFF, 8)).is_ok());
  ASSERT_TRUE(client->send(request_fragment(pfc::kLastFrag, 4, 8, 1, 0xFFFF, 8)).is_ok());
  EXPECT_EQ(expect_fault(*client, nca::kOpRngError), 0x23);
  ASSERT_TRUE(client->send_request(5, 1, 0, std::vector<std::uint8_t>{1}).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client->read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(dispatcher_.calls().size(), 1u);
}

TEST_F(ServerRobustnessTest, UnknownContextFaultsButKeepsTheConnection) {
  auto client = bound_client();
  for (std::uint16_t ctx : {0, 2, 9}) {  // rejected, negotiate_ack, never offered
    ASSERT_TRUE(client->send(request_fragment(pfc::kSingleFrag, 3, 2, ctx, 0, 2)).is_ok());
    EXPECT_EQ(expect_fault(*client, nca::kUnkIf), 0x23);
  }
  ASSERT_TRUE(client->send_request(5, 1, 0, std::vector<std::uint8_t>{1}).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client->read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
}

TEST_F(ServerRobustnessTest, ContinuationWithoutFirstFragment) {
  auto client = bound_client();
  ASSERT_TRUE(client->send(request_fragment(pfc::kLastFrag, 2, 8, 1, 0, 8)).is_ok());
  expect_fault(*client, nca::kProtoError);
  EXPECT_TRUE(client->wait_closed());
}

TEST_F(ServerRobustnessTest, NewFirstFragmentWhileACallIsIncomplete) {
  auto client = bound_client();
  ASSERT_TRUE(client->send(request_fragment(pfc::kFirstFrag, 2, 16, 1, 0, 8)).is_ok());
  ASSERT_TRUE(client->send(request_fragment(pfc::kFirstFrag, 3, 16, 1, 0, 8)).is_ok());
  expect_fault(*client, nca::kProtoError);
  EXPECT_TRUE(client->wait_closed());
}

TEST_F(ServerRobustnessTest, ContinuationThatChangesTheCall) {
  auto client = bound_client();
  ASSERT_TRUE(client->send(request_fragment(pfc::kFirstFrag, 2, 16, 1, 0, 8)).is_ok());
  ASSERT_TRUE(client->send(request_fragment(pfc::kLastFrag, 2, 8, 1, 3, 8)).is_ok());  // opnum
  expect_fault(*client, nca::kProtoError);
  EXPECT_TRUE(client->wait_closed());
  EXPECT_TRUE(dispatcher_.calls().empty());
}

TEST_F(ServerRobustnessTest, SecondBindOnAConnection) {
  auto client = bound_client();
  ASSERT_TRUE(
      client->send(encode_bind(2, pfc::kSingleFrag, trv_testing::windows_style_bind(0))).is_ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client->read_pdu(&pdu).is_ok());
  EXPECT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::BindNak));
  EXPECT_TRUE(client->wait_closed());
}

TEST_F(ServerRobustnessTest, MalformedBinds) {
  std::vector<Bind> binds(4);
  // No contexts; a context without transfer syntaxes; two negotiation
  // elements; nothing we speak at all still gets an ack (checked below).
  binds[1].contexts = {{0, replication_service_interface(), {}}};
  binds[2].contexts = {{0, replication_service_interface(), {btfn_syntax(1)}},
                       {1, replication_service_interface(), {btfn_syntax(2)}}};
  binds[3].contexts = {{0, ndr20_syntax(), {ndr20_syntax()}}};
  for (std::size_t i = 0; i < 3; ++i) {
    RawClient client(server_->port());
    ASSERT_TRUE(client.send(encode_bind(1, pfc::kSingleFrag, binds[i])).is_ok());
    std::vector<std::uint8_t> pdu;
    ASSERT_TRUE(client.read_pdu(&pdu).is_ok());
    EXPECT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::BindNak)) << i;
    EXPECT_TRUE(client.wait_closed());
  }
  RawClient client(server_->port());
  BindAck ack = client.bind(binds[3]);
  ASSERT_EQ(ack.results.size(), 1u);
  EXPECT_EQ(ack.results[0].reason, provider_reason::kAbstractSyntaxNotSupported);
}

TEST_F(ServerRobustnessTest, ContextCountBeyondTheBody) {
  RawClient client(server_->port());
  auto pdu = encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0));
  pdu[24] = 200;  // claims 200 context elements
  ASSERT_TRUE(client.send(pdu).is_ok());
  std::vector<std::uint8_t> answer;
  ASSERT_TRUE(client.read_pdu(&answer).is_ok());
  EXPECT_EQ(answer[2], static_cast<std::uint8_t>(PacketType::BindNak));
  EXPECT_TRUE(client.wait_closed());
}

TEST_F(ServerRobustnessTest, UnsupportedHeaders) {
  auto bind = encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0));
  for (auto [index, value] : {std::pair{0, 4}, {4, 0x00}, {2, 20}, {2, 12}, {10, 16}}) {
    RawClient client(server_->port());
    auto pdu = bind;
    pdu[static_cast<std::size_t>(index)] = static_cast<std::uint8_t>(value);
    (void)client.send(pdu);
    EXPECT_TRUE(client.wait_closed()) << index;
  }
}

TEST_F(ServerRobustnessTest, ManyConnectionsThatVanish) {
  for (int i = 0; i < 100; ++i) {
    RawClient client(server_->port());
    if (i % 2) client.bind_windows_style();
    if (i % 3 == 0) {
      (void)client.send(request_fragment(pfc::kFirstFrag, 2, 16, 1, 0, 8));
    }
  }
  testing::wait_for_open_connections(*server_, 0);
  // Only the bound connections had groups, each ended once.
  dispatcher_.wait_for_ended(50);
  EXPECT_EQ(dispatcher_.ended_groups().size(), 50u);
}

// The PDU bound: from a PDU's first byte to its last.
TEST_F(ServerRobustnessTest, FragLengthBeyondWhatIsSentEndsAtThePduBound) {
  ServerOptions options;
  options.limits.pdu_timeout_ms = 200;
  options.on_event = events_.sink();
  start(options);
  auto client = bound_client();
  auto pdu = request_fragment(pfc::kSingleFrag, 2, 4, 1, 0, 4);
  put_u16(pdu.data() + 8, 4000);  // claims 4000, sends 28 and keeps the connection open
  ASSERT_TRUE(client->send(pdu).is_ok());
  EXPECT_TRUE(client->wait_closed());
  EXPECT_EQ(server_->stats().slow_pdus, 1u);
  EXPECT_EQ(server_->stats().idle_closed, 0u);
  EXPECT_TRUE(dispatcher_.calls().empty());
  EXPECT_EQ(events_.count("connection from " + client->local_name() +
                          " closed: a PDU took longer than 0.2 s"),
            1u);
}

// Empty middle fragments never reach the size cap; the fragment count ends
// the call. Exactly max_fragments_per_call (the default, 4096) is a call.
TEST_F(ServerRobustnessTest, EndlessFragmentsEndAtTheFragmentBound) {
  ServerOptions options;
  options.on_event = events_.sink();
  start(options);
  const std::size_t bound = ServerLimits{}.max_fragments_per_call;
  auto fragments = [&](std::uint32_t call_id, std::size_t middles, bool last) {
    std::vector<std::uint8_t> bytes = request_fragment(pfc::kFirstFrag, call_id, 8, 1, 0, 8);
    const auto middle = request_fragment(0, call_id, 0, 1, 0, 0);
    for (std::size_t i = 0; i < middles; ++i)
      bytes.insert(bytes.end(), middle.begin(), middle.end());
    if (last) {
      const auto end = request_fragment(pfc::kLastFrag, call_id, 8, 1, 0, 8);
      bytes.insert(bytes.end(), end.begin(), end.end());
    }
    return bytes;
  };
  auto client = bound_client();
  ASSERT_TRUE(client->send(fragments(2, bound - 2, true)).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client->read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.stub.size(), 16u);
  // One more: first + 4096 middles is 4097 fragments without an end.
  ASSERT_TRUE(client->send(fragments(3, bound, false)).is_ok());
  expect_fault(*client, nca::kProtoError);
  EXPECT_TRUE(client->wait_closed());
  EXPECT_EQ(server_->stats().fragment_limit_closed, 1u);
  EXPECT_EQ(dispatcher_.calls().size(), 1u);
  EXPECT_EQ(events_.count("connection from " + client->local_name() +
                          " closed: a call of more than 4096 fragments"),
            1u);
}

// A flood of connections from one peer and a slowloris from another do not
// keep a third peer from working: it gets its connections and every call
// answered, and each abuser costs one line.
TEST_F(ServerRobustnessTest, HostilePeersDoNotStopARealClient) {
  ServerOptions options;
  options.limits.max_connections = 64;
  options.limits.max_connections_per_peer = 16;
  options.limits.idle_timeout_ms = 60000;  // the flood's connections stay for the whole test
  options.limits.pdu_timeout_ms = 300;
  options.on_event = events_.sink();
  start(options);
  const std::uint16_t port = server_->port();

  constexpr int kFlood = 1000;
  std::vector<std::unique_ptr<RawClient>> flood;  // held, idle, until the end
  std::jthread flooder([&] {
    for (int i = 0; i < kFlood; ++i)
      flood.push_back(std::make_unique<RawClient>(port, "127.0.0.2"));
  });
  // Each slowloris connection sends its bind a byte every 100 ms; the PDU
  // bound ends it after a few. Three of them, one after the other.
  std::atomic<int> slow_closed{0};
  std::jthread slowloris([&] {
    const auto bind = encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0));
    for (int round = 0; round < 3; ++round) {
      RawClient slow(port, "127.0.0.3");
      for (std::size_t i = 0; i < bind.size(); ++i) {
        if (!slow.send({&bind[i], 1}).is_ok()) break;
        if (slow.socket().wait_readable(100).is_ok()) break;  // closed by the server
      }
      if (slow.wait_closed()) ++slow_closed;
    }
  });

  ASSERT_TRUE(testing::eventually([&] { return server_->stats().unbound_evicted > 0; }));
  // The real client: four connections of one group, calls on each while the
  // flood goes on.
  std::vector<std::unique_ptr<RawClient>> clients;
  BindAck ack;
  clients.push_back(std::make_unique<RawClient>(port, "127.0.0.1"));
  ASSERT_EQ(clients[0]->bind_windows_style(0, &ack), 1);
  for (int i = 1; i < 4; ++i) {
    clients.push_back(std::make_unique<RawClient>(port, "127.0.0.1"));
    ASSERT_EQ(clients[i]->bind_windows_style(ack.assoc_group_id), 1);
  }
  int answered = 0;
  for (std::uint32_t call = 0; call < 100; ++call) {
    RawClient& client = *clients[call % 4];
    const std::vector<std::uint8_t> stub = testing::u32_stub(call);
    ASSERT_TRUE(client.send_request(10 + call, 1, 0, stub).is_ok());
    RawClient::Answer answer;
    ASSERT_TRUE(client.read_answer(&answer).is_ok());
    if (!answer.fault && answer.stub == stub) ++answered;
  }
  flooder.join();
  slowloris.join();
  EXPECT_EQ(answered, 100);
  EXPECT_EQ(slow_closed, 3);
  // Each connection of the flood beyond the cap took the slot of the oldest.
  ASSERT_TRUE(testing::eventually(
      [&] { return server_->stats().unbound_evicted == std::uint64_t{kFlood} - 16; }));
  EXPECT_EQ(server_->stats().connections_refused, 0u);
  EXPECT_EQ(server_->stats().slow_pdus, 3u);
  EXPECT_EQ(events_.count_starting("connection from 127.0.0.2:"), 1u);
  EXPECT_EQ(events_.count_starting("connection from 127.0.0.3:"), 1u);
  EXPECT_EQ(events_.lines().size(), 2u);
  flood.clear();
}

// Connections that never bind cannot keep a client out, from its own
// address or any other, and a flood of them never closes one that has bound.
TEST_F(ServerRobustnessTest, SilentConnectionsGiveWayButBoundOnesStay) {
  ServerOptions options;
  options.limits.max_connections = 24;
  options.limits.max_connections_per_peer = 16;
  options.limits.idle_timeout_ms = 60000;
  options.on_event = events_.sink();
  start(options);
  const std::uint16_t port = server_->port();
  const auto echo_on = [](RawClient& client, std::uint32_t call) {
    const std::vector<std::uint8_t> stub = testing::u32_stub(call);
    if (!client.send_request(call, 1, 0, stub).is_ok()) return false;
    RawClient::Answer answer;
    return client.read_answer(&answer).is_ok() && !answer.fault && answer.stub == stub;
  };

  std::vector<std::unique_ptr<RawClient>> clients;
  BindAck ack;
  clients.push_back(std::make_unique<RawClient>(port, "127.0.0.1"));
  ASSERT_EQ(clients[0]->bind_windows_style(0, &ack), 1);
  // Silent connections from the client's address (the per-peer cap) and from
  // another (the overall cap), far more than either cap.
  std::vector<std::unique_ptr<RawClient>> silent;
  for (int i = 0; i < 300; ++i) {
    silent.push_back(std::make_unique<RawClient>(port, i % 2 == 0 ? "127.0.0.1" : "127.0.0.2"));
  }
  ASSERT_TRUE(testing::eventually([&] { return server_->stats().connections_accepted == 301; }));
  // The client opens the rest of its share among them and binds each.
  for (int i = 1; i < 16; ++i) {
    clients.push_back(std::make_unique<RawClient>(port, "127.0.0.1"));
    ASSERT_EQ(clients.back()->bind_windows_style(ack.assoc_group_id), 1) << i;
  }
  for (int i = 0; i < 100; ++i) silent.push_back(std::make_unique<RawClient>(port, "127.0.0.2"));
  for (std::uint32_t i = 0; i < clients.size(); ++i) EXPECT_TRUE(echo_on(*clients[i], i)) << i;
  // Its 16 connections are bound: one more from its address is refused
  // rather than taking a bound one's slot; the overall cap still gives way.
  RawClient extra(port, "127.0.0.1");
  EXPECT_TRUE(extra.wait_closed());
  EXPECT_EQ(server_->stats().refused_peer_limit, 1u);
  RawClient other(port, "127.0.0.3");
  BindAck other_ack;
  EXPECT_EQ(other.bind_windows_style(0, &other_ack), 1);
  EXPECT_TRUE(echo_on(other, 7));
  for (std::uint32_t i = 0; i < clients.size(); ++i) EXPECT_TRUE(echo_on(*clients[i], 100 + i));
  EXPECT_EQ(server_->stats().open_connections, 24u);
  // One line for all the connections closed for newcomers from one address.
  const std::vector<std::string> lines = events_.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.find(
                                       " closed: not bound, its slot given to a new "
                                       "connection from 127.0.0.") != std::string::npos;
                          }),
            3)
      << ::testing::PrintToString(lines);
  // The client's address is at its cap with bound connections: the check
  // after the test may connect from it only once the server has seen them go.
  clients.clear();
  silent.clear();
  testing::wait_for_open_connections(*server_, 1);
}

}  // namespace
}  // namespace rpc
