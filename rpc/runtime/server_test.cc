// The runtime server on loopback, driven by a raw client: bind negotiation,
// association groups, reassembly and fragmented replies, parallel calls and
// shutdown.
#include "rpc/runtime/server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <mutex>
#include <numeric>
#include <thread>

#include "rpc/runtime/server_testing.h"

namespace rpc {
namespace {

using testing::RawClient;
using testing::TestDispatcher;

class ServerTest : public ::testing::Test {
 protected:
  void start(ServerOptions options = {}) {
    server_ = std::make_unique<Server>(options, replication_interface(),
                                       TestDispatcher::kProcedures, &dispatcher_);
    Status s = server_->start();
    ASSERT_TRUE(s.ok()) << s.to_string();
    ASSERT_NE(server_->port(), 0);
  }
  void TearDown() override {
    if (server_) server_->stop();
  }
  // A good echo call on context `ctx` of `client`.
  void expect_echo(RawClient& client, int ctx, std::uint32_t call_id = 2) {
    const std::vector<std::uint8_t> stub = {1, 2, 3, 4, 5};
    ASSERT_TRUE(client.send_request(call_id, static_cast<std::uint16_t>(ctx), 0, stub).ok());
    RawClient::Answer answer;
    ASSERT_TRUE(client.read_answer(&answer).ok());
    EXPECT_FALSE(answer.fault);
    EXPECT_EQ(answer.call_id, call_id);
    EXPECT_EQ(answer.stub, stub);
  }

  TestDispatcher dispatcher_;
  std::unique_ptr<Server> server_;
};

TEST_F(ServerTest, WindowsStyleBindGetsNdr64) {
  start();
  RawClient client(server_->port());
  BindAck ack;
  EXPECT_EQ(client.bind_windows_style(0, &ack), 1);
  EXPECT_EQ(ack.max_xmit_frag, 5840);
  EXPECT_EQ(ack.max_recv_frag, 5840);
  EXPECT_NE(ack.assoc_group_id, 0u);
  EXPECT_EQ(ack.secondary_address, std::to_string(server_->port()));
  ASSERT_EQ(ack.results.size(), 3u);
  EXPECT_EQ(ack.results[0].result, context_result::kProviderRejection);
  EXPECT_EQ(ack.results[0].reason, provider_reason::kTransferSyntaxesNotSupported);
  EXPECT_TRUE(ack.results[0].transfer_syntax.uuid.is_nil());
  EXPECT_EQ(ack.results[1].result, context_result::kAcceptance);
  EXPECT_EQ(ack.results[1].transfer_syntax, ndr64_syntax());
  EXPECT_EQ(ack.results[2].result, context_result::kNegotiateAck);
  EXPECT_EQ(ack.results[2].reason, btfn::kKeepConnectionOnOrphan);
  EXPECT_TRUE(ack.results[2].transfer_syntax.uuid.is_nil());
  expect_echo(client, 1);
  EXPECT_EQ(dispatcher_.calls().at(0).syntax, Syntax::Ndr64);
  EXPECT_EQ(server_->stats().binds_ndr64, 1u);
  EXPECT_EQ(server_->stats().binds_ndr20, 0u);
}

TEST_F(ServerTest, Ndr20OnlyServerAcceptsContextZeroAndRejectsOne) {
  ServerOptions options;
  options.accept_ndr64 = false;
  start(options);
  RawClient client(server_->port());
  BindAck ack;
  EXPECT_EQ(client.bind_windows_style(0, &ack), 0);
  ASSERT_EQ(ack.results.size(), 3u);
  EXPECT_EQ(ack.results[0].transfer_syntax, ndr20_syntax());
  EXPECT_EQ(ack.results[1].result, context_result::kProviderRejection);
  EXPECT_EQ(ack.results[1].reason, provider_reason::kTransferSyntaxesNotSupported);
  expect_echo(client, 0);
  EXPECT_EQ(dispatcher_.calls().at(0).syntax, Syntax::Ndr20);
  // The rejected context cannot carry calls.
  ASSERT_TRUE(client.send_request(3, 1, 0, testing::u32_stub(0)).ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).ok());
  EXPECT_TRUE(answer.fault);
  EXPECT_EQ(answer.fault_status, nca::kUnkIf);
  EXPECT_EQ(server_->stats().binds_ndr20, 1u);
}

TEST_F(ServerTest, OneElementWithBothSyntaxesPrefersNdr64) {
  start();
  RawClient client(server_->port());
  Bind bind;
  bind.contexts = {{5, replication_interface(), {ndr20_syntax(), ndr64_syntax()}}};
  BindAck ack = client.bind(bind);
  ASSERT_EQ(ack.results.size(), 1u);
  EXPECT_EQ(ack.results[0].result, context_result::kAcceptance);
  EXPECT_EQ(ack.results[0].transfer_syntax, ndr64_syntax());
  expect_echo(client, 5);
}

// Header-signing and multiplexing bits in a bind are accepted and not
// granted: without them echoed the client keeps one call per connection.
TEST_F(ServerTest, BindFlagsAreAcceptedButNotGranted) {
  start();
  for (std::uint8_t flags : {0x03, 0x07, 0x13, 0x17}) {
    RawClient client(server_->port());
    ASSERT_TRUE(client.send(encode_bind(1, flags, windows_style_bind(0))).ok());
    std::vector<std::uint8_t> pdu;
    ASSERT_TRUE(client.read_pdu(&pdu).ok());
    ASSERT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::BindAck)) << int(flags);
    EXPECT_EQ(pdu[3], pfc::kSingleFrag) << int(flags);
    expect_echo(client, 1);
  }
}

TEST_F(ServerTest, Ndr20OnlyClientIsServed) {
  start();
  RawClient client(server_->port());
  Bind bind;
  bind.contexts = {{0, replication_interface(), {ndr20_syntax()}},
                   {1, replication_interface(), {btfn_syntax(0x03)}}};
  BindAck ack = client.bind(bind);
  ASSERT_EQ(ack.results.size(), 2u);
  EXPECT_EQ(ack.results[0].result, context_result::kAcceptance);
  EXPECT_EQ(ack.results[0].transfer_syntax, ndr20_syntax());
  EXPECT_EQ(ack.results[1].result, context_result::kNegotiateAck);
  expect_echo(client, 0);
}

TEST_F(ServerTest, UnknownInterfaceOrVersionIsRejectedWithReasonOne) {
  start();
  RawClient client(server_->port());
  SyntaxId other = replication_interface();
  other.uuid.bytes[0] ^= 1;
  SyntaxId newer = replication_interface();
  newer.major = 2;
  SyntaxId minor = replication_interface();
  minor.minor = 1;
  Bind bind;
  bind.contexts = {{0, other, {ndr20_syntax()}},
                   {1, newer, {ndr20_syntax()}},
                   {2, minor, {ndr20_syntax()}},
                   {3, replication_interface(), {ndr64_syntax()}}};
  BindAck ack = client.bind(bind);
  ASSERT_EQ(ack.results.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ack.results[i].result, context_result::kProviderRejection) << i;
    EXPECT_EQ(ack.results[i].reason, provider_reason::kAbstractSyntaxNotSupported) << i;
  }
  EXPECT_EQ(ack.results[3].result, context_result::kAcceptance);
}

TEST_F(ServerTest, UnknownTransferSyntaxIsRejectedWithReasonTwo) {
  start();
  RawClient client(server_->port());
  SyntaxId unknown = ndr20_syntax();
  unknown.minor = 1;
  Bind bind;
  bind.contexts = {{0, replication_interface(), {unknown}}};
  BindAck ack = client.bind(bind);
  ASSERT_EQ(ack.results.size(), 1u);
  EXPECT_EQ(ack.results[0].result, context_result::kProviderRejection);
  EXPECT_EQ(ack.results[0].reason, provider_reason::kTransferSyntaxesNotSupported);
}

TEST(FragmentNegotiationTest, ClampsToWhatBothSidesHandle) {
  EXPECT_EQ(Server::negotiate_fragment(5840, 5840, 5840), 5840);
  EXPECT_EQ(Server::negotiate_fragment(65535, 65535, 5840), 5840);
  EXPECT_EQ(Server::negotiate_fragment(4000, 3003, 5840), 3000);
  // A client that can receive only 1432 never gets a bigger fragment.
  EXPECT_EQ(Server::negotiate_fragment(1432, 1432, 5840), 1432);
  EXPECT_EQ(Server::negotiate_fragment(5840, 1432, 5840), 1432);
  // Below the size every peer must accept.
  EXPECT_EQ(Server::negotiate_fragment(100, 100, 5840), 1432);
  EXPECT_EQ(Server::negotiate_fragment(0, 0, 5840), 1432);
}

TEST_F(ServerTest, SmallFragmentClientGetsSmallResponseFragments) {
  start();
  RawClient client(server_->port());
  BindAck ack = client.bind(windows_style_bind(0, 1432));
  EXPECT_EQ(ack.max_xmit_frag, 1432);
  EXPECT_EQ(ack.max_recv_frag, 1432);
  ASSERT_TRUE(client.send_request(2, 1, 1, testing::u32_stub(10000)).ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).ok());
  ASSERT_EQ(answer.stub.size(), 10000u);
  EXPECT_LE(answer.largest_fragment, 1432u);
  EXPECT_GT(answer.fragments, 7);
  for (std::size_t i = 0; i < answer.stub.size(); ++i) {
    ASSERT_EQ(answer.stub[i], static_cast<std::uint8_t>(i)) << i;
  }
}

// Odd split points, alloc_hint 0 or the total in every fragment: the stub
// arrives whole and in order.
TEST_F(ServerTest, ReassemblesFragmentedRequestsAndFragmentsBigReplies) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  std::vector<std::uint8_t> stub(200001);
  for (std::size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<std::uint8_t>(i * 31 + 7);
  std::uint32_t call_id = 10;
  for (std::size_t split : {std::size_t{1}, std::size_t{999}, std::size_t{5816}}) {
    for (bool total_hint : {false, true}) {
      std::span<const std::uint8_t> part(stub.data(), split == 1 ? 3000 : stub.size());
      ASSERT_TRUE(client.send_request(call_id, 1, 0, part, split, total_hint).ok());
      RawClient::Answer answer;
      ASSERT_TRUE(client.read_answer(&answer).ok());
      EXPECT_FALSE(answer.fault);
      EXPECT_EQ(answer.call_id, call_id);
      EXPECT_TRUE(std::equal(answer.stub.begin(), answer.stub.end(), part.begin(), part.end()))
          << split;
      EXPECT_LE(answer.largest_fragment, 5840u);
      ++call_id;
    }
  }
}

TEST_F(ServerTest, ObjectUuidIsSkipped) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  const std::vector<std::uint8_t> stub = {4, 5, 6};
  Request request;
  request.context_id = 1;
  request.object = ndr64_syntax().uuid;
  request.stub = stub;
  request.alloc_hint = 3;
  ASSERT_TRUE(client.send(encode_request(2, request)).ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.stub, stub);
}

TEST_F(ServerTest, EmptyStubRequestIsACall) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  ASSERT_TRUE(client.send_request(2, 1, 0, {}).ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_TRUE(answer.stub.empty());
}

TEST_F(ServerTest, DispatcherFaultReachesTheClient) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  ASSERT_TRUE(client.send_request(2, 1, 3, testing::u32_stub(5)).ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).ok());
  EXPECT_TRUE(answer.fault);
  EXPECT_EQ(answer.fault_status, 5u);
  EXPECT_EQ(answer.fault_flags, pfc::kSingleFrag);
  expect_echo(client, 1, 3);  // the connection goes on
}

TEST_F(ServerTest, DropClosesWithoutAnswer) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  ASSERT_TRUE(client.send_request(2, 1, 2, {}).ok());
  EXPECT_TRUE(client.wait_closed());
  RawClient again(server_->port());
  ASSERT_EQ(again.bind_windows_style(), 1);
  expect_echo(again, 1);
}

TEST_F(ServerTest, AlterContextAddsAContext) {
  start();
  RawClient client(server_->port());
  Bind bind;
  bind.contexts = {{0, replication_interface(), {ndr20_syntax()}}};
  ASSERT_EQ(client.bind(bind).results.at(0).result, context_result::kAcceptance);
  Bind alter;
  alter.contexts = {{7, replication_interface(), {ndr64_syntax()}}};
  ASSERT_TRUE(client.send(encode_bind(2, pfc::kSingleFrag, alter, PacketType::AlterContext)).ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client.read_pdu(&pdu).ok());
  ASSERT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::AlterContextResp));
  BindAck resp;
  ASSERT_TRUE(decode_bind_ack(pdu, &resp).ok());
  ASSERT_EQ(resp.results.size(), 1u);
  EXPECT_EQ(resp.results[0].result, context_result::kAcceptance);
  EXPECT_EQ(resp.results[0].transfer_syntax, ndr64_syntax());
  EXPECT_TRUE(resp.secondary_address.empty());
  expect_echo(client, 7, 3);
  expect_echo(client, 0, 4);
  auto calls = dispatcher_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].syntax, Syntax::Ndr64);
  EXPECT_EQ(calls[1].syntax, Syntax::Ndr20);
}

class AssociationGroupTest : public ServerTest {};

TEST_F(AssociationGroupTest, SecondConnectionJoinsAndGroupEndsOnce) {
  start();
  RawClient first(server_->port());
  BindAck ack;
  ASSERT_EQ(first.bind_windows_style(0, &ack), 1);
  const std::uint32_t group = ack.assoc_group_id;
  {
    RawClient second(server_->port());
    BindAck joined;
    ASSERT_EQ(second.bind_windows_style(group, &joined), 1);
    EXPECT_EQ(joined.assoc_group_id, group);
    expect_echo(second, 1);
    auto calls = dispatcher_.calls();
    EXPECT_EQ(calls.back().assoc_group, group);
  }
  // The second connection has gone; the group lives on with the first.
  testing::wait_for_open_connections(*server_, 1);
  EXPECT_TRUE(dispatcher_.ended_groups().empty());
  expect_echo(first, 1, 5);
  first.socket().close();
  dispatcher_.wait_for_ended(1);
  testing::wait_for_open_connections(*server_, 0);
  EXPECT_EQ(dispatcher_.ended_groups(), std::vector<std::uint32_t>{group});
  // An ended group cannot be joined.
  RawClient late(server_->port());
  ASSERT_TRUE(late.send(encode_bind(1, pfc::kSingleFrag, windows_style_bind(group))).ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(late.read_pdu(&pdu).ok());
  BindNak nak;
  ASSERT_TRUE(decode_bind_nak(pdu, &nak).ok());
  EXPECT_EQ(nak.reject_reason, reject_reason::kNotSpecified);
  EXPECT_TRUE(late.wait_closed());
  EXPECT_EQ(dispatcher_.ended_groups().size(), 1u);
}

TEST_F(AssociationGroupTest, UnknownGroupGetsBindNak) {
  start();
  RawClient client(server_->port());
  ASSERT_TRUE(client.send(encode_bind(1, pfc::kSingleFrag, windows_style_bind(0xDEAD))).ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client.read_pdu(&pdu).ok());
  EXPECT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::BindNak));
  EXPECT_TRUE(client.wait_closed());
  EXPECT_EQ(server_->stats().bind_naks, 1u);
  EXPECT_TRUE(dispatcher_.ended_groups().empty());
}

TEST_F(AssociationGroupTest, SeparateClientsGetSeparateGroups) {
  start();
  RawClient a(server_->port());
  RawClient b(server_->port());
  BindAck ack_a, ack_b;
  a.bind_windows_style(0, &ack_a);
  b.bind_windows_style(0, &ack_b);
  EXPECT_NE(ack_a.assoc_group_id, ack_b.assoc_group_id);
}

TEST_F(ServerTest, CallsOnDifferentConnectionsRunInParallel) {
  start();
  dispatcher_.rendezvous_needed = 3;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      RawClient client(server_->port());
      ASSERT_EQ(client.bind_windows_style(), 1);
      // Each call returns only when all three are inside the dispatcher.
      ASSERT_TRUE(client.send_request(100 + i, 1, 4, {}).ok());
      RawClient::Answer answer;
      ASSERT_TRUE(client.read_answer(&answer).ok());
      EXPECT_FALSE(answer.fault);
    });
  }
  for (auto& t : threads) t.join();
}

TEST_F(ServerTest, ConnectionsBeyondTheLimitAreClosed) {
  ServerOptions options;
  options.limits.max_connections = 2;
  start(options);
  RawClient a(server_->port());
  RawClient b(server_->port());
  ASSERT_EQ(a.bind_windows_style(), 1);
  ASSERT_EQ(b.bind_windows_style(), 1);
  RawClient c(server_->port());
  EXPECT_TRUE(c.wait_closed());
  EXPECT_EQ(server_->stats().connections_refused, 1u);
  a.socket().close();
  testing::wait_for_open_connections(*server_, 1);
  RawClient d(server_->port());
  ASSERT_EQ(d.bind_windows_style(), 1);
  expect_echo(d, 1);
}

TEST_F(ServerTest, StopDisconnectsClientsEndsGroupsAndIsIdempotent) {
  start();
  RawClient idle(server_->port());
  ASSERT_EQ(idle.bind_windows_style(), 1);
  RawClient unbound(server_->port());
  testing::wait_for_open_connections(*server_, 2);
  server_->stop();
  EXPECT_TRUE(idle.wait_closed());
  EXPECT_TRUE(unbound.wait_closed());
  EXPECT_EQ(dispatcher_.ended_groups().size(), 1u);
  EXPECT_EQ(server_->stats().open_connections, 0u);
  server_->stop();
  Socket refused;
  EXPECT_EQ(connect_tcp("127.0.0.1", server_->port(), &refused).code(), status::kServerUnavailable);
}

// The idle bound: a connection that delivers no complete PDU in time is
// closed as if the peer had left, whether it is silent or trickles bytes; a
// call that the dispatcher takes long over is not the peer's idleness.
class IdleBoundTest : public ServerTest {
 protected:
  void start_with_bound(int milliseconds) {
    ServerOptions options;
    options.limits.idle_timeout_ms = milliseconds;
    options.on_event = [this](const std::string& line) {
      std::lock_guard lock(events_mu_);
      events_.push_back(line);
    };
    start(options);
  }
  std::vector<std::string> events() {
    std::lock_guard lock(events_mu_);
    return events_;
  }
  // "127.0.0.1:PORT" of the client's end.
  static std::string local_name(RawClient& client) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    EXPECT_EQ(getsockname(client.socket().fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }

  std::mutex events_mu_;
  std::vector<std::string> events_;
};

TEST_F(IdleBoundTest, ASilentConnectionIsClosedAndItsGroupEnds) {
  start_with_bound(200);
  RawClient bound(server_->port());
  BindAck ack;
  ASSERT_EQ(bound.bind_windows_style(0, &ack), 1);
  expect_echo(bound, 1);
  RawClient unbound(server_->port());
  EXPECT_TRUE(bound.wait_closed());
  EXPECT_TRUE(unbound.wait_closed());
  dispatcher_.wait_for_ended(1);
  EXPECT_EQ(dispatcher_.ended_groups(), std::vector<std::uint32_t>{ack.assoc_group_id});
  testing::wait_for_open_connections(*server_, 0);
  EXPECT_EQ(server_->stats().idle_closed, 2u);
  const std::vector<std::string> lines = events();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "connection from " + local_name(bound) + " closed: no PDU for 0.2 s"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "connection from " + local_name(unbound) + " closed: no PDU for 0.2 s"),
            lines.end());
  // The server goes on serving.
  RawClient fresh(server_->port());
  ASSERT_EQ(fresh.bind_windows_style(), 1);
  expect_echo(fresh, 1);
}

TEST_F(IdleBoundTest, ATrickleOfBytesDoesNotHoldAConnection) {
  start_with_bound(300);
  RawClient client(server_->port());
  // The bind, a byte every 50 ms: 6 s for the whole PDU, far beyond the bound,
  // though no gap between bytes comes near it.
  const std::vector<std::uint8_t> bind = encode_bind(1, pfc::kSingleFrag, windows_style_bind(0));
  for (std::uint8_t byte : bind) {
    if (!client.send({&byte, 1}).ok()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (server_->stats().idle_closed == 1) break;
  }
  EXPECT_TRUE(client.wait_closed());
  EXPECT_EQ(server_->stats().idle_closed, 1u);
  EXPECT_EQ(server_->stats().binds_ndr20 + server_->stats().binds_ndr64, 0u);
}

TEST_F(IdleBoundTest, TheBoundStartsAfterTheAnswerSoASlowCallKeepsItsConnection) {
  start_with_bound(300);
  RawClient client(server_->port());
  // Bind and two calls at once: the second waits in the socket while the
  // first is being dispatched.
  std::vector<std::uint8_t> burst = encode_bind(1, pfc::kSingleFrag, windows_style_bind(0));
  ASSERT_TRUE(client.send(burst).ok());
  ASSERT_TRUE(client.send_request(2, 1, 4, {}).ok());
  const std::vector<std::uint8_t> stub = {7, 7, 7};
  ASSERT_TRUE(client.send_request(3, 1, 0, stub).ok());
  dispatcher_.wait_inside(1);
  // The call takes many times the bound.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  dispatcher_.release();
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client.read_pdu(&pdu).ok());  // bind_ack
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.call_id, 2u);
  ASSERT_TRUE(client.read_answer(&answer).ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.call_id, 3u);
  EXPECT_EQ(answer.stub, stub);
}

TEST_F(IdleBoundTest, ZeroMeansNoBound) {
  start_with_bound(0);
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  expect_echo(client, 1);
  EXPECT_EQ(server_->stats().idle_closed, 0u);
}

TEST(ServerLifecycleTest, StartTwiceFailsAndUnstartedStopIsHarmless) {
  TestDispatcher dispatcher;
  Server never(ServerOptions{}, replication_interface(), 1, &dispatcher);
  never.stop();
  Server server(ServerOptions{}, replication_interface(), 1, &dispatcher);
  ASSERT_TRUE(server.start().ok());
  EXPECT_EQ(server.start().code(), status::kInvalidArg);
}

TEST(ServerLifecycleTest, BusyPortFailsToStart) {
  TestDispatcher dispatcher;
  Server first(ServerOptions{}, replication_interface(), 1, &dispatcher);
  ASSERT_TRUE(first.start().ok());
  ServerOptions options;
  options.port = first.port();
  Server second(options, replication_interface(), 1, &dispatcher);
  EXPECT_EQ(second.start().code(), status::kServerUnavailable);
}

}  // namespace
}  // namespace rpc
