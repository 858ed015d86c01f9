// The runtime server on loopback, driven by a raw client: bind negotiation,
// association groups, reassembly and fragmented replies, parallel calls and
// shutdown.
#include "dcerpc/server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <thread>

#include "dcerpc/server_testing.h"

namespace rpc {
namespace {

using testing::RawClient;
using testing::TestDispatcher;

class ServerTest : public ::testing::Test {
 protected:
  void start(ServerOptions options = {}) {
    server_ = testing::start_test_server(&dispatcher_, options);
    ASSERT_NE(server_, nullptr);
  }
  void TearDown() override {
    if (server_) server_->stop();
  }
  // A good echo call on context `ctx` of `client`.
  void expect_echo(RawClient& client, int ctx, std::uint32_t call_id = 2) {
    const std::vector<std::uint8_t> stub = {1, 2, 3, 4, 5};
    ASSERT_TRUE(client.send_request(call_id, static_cast<std::uint16_t>(ctx), 0, stub).is_ok());
    RawClient::Answer answer;
    ASSERT_TRUE(client.read_answer(&answer).is_ok());
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
  ASSERT_TRUE(client.send_request(3, 1, 0, testing::u32_stub(0)).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
  EXPECT_TRUE(answer.fault);
  EXPECT_EQ(answer.fault_status, nca::kUnkIf);
  EXPECT_EQ(server_->stats().binds_ndr20, 1u);
}

TEST_F(ServerTest, OneElementWithBothSyntaxesPrefersNdr64) {
  start();
  RawClient client(server_->port());
  Bind bind;
  bind.contexts = {{5, replication_service_interface(), {ndr20_syntax(), ndr64_syntax()}}};
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
    ASSERT_TRUE(client.send(encode_bind(1, flags, trv_testing::windows_style_bind(0))).is_ok());
    std::vector<std::uint8_t> pdu;
    ASSERT_TRUE(client.read_pdu(&pdu).is_ok());
    ASSERT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::BindAck)) << int(flags);
    EXPECT_EQ(pdu[3], pfc::kSingleFrag) << int(flags);
    expect_echo(client, 1);
  }
}

TEST_F(ServerTest, Ndr20OnlyClientIsServed) {
  start();
  RawClient client(server_->port());
  Bind bind;
  bind.contexts = {{0, replication_service_interface(), {ndr20_syntax()}},
                   {1, replication_service_interface(), {btfn_syntax(0x03)}}};
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
  SyntaxId other = replication_service_interface();
  other.uuid.bytes[0] ^= 1;
  SyntaxId newer = replication_service_interface();
  newer.major = 2;
  SyntaxId minor = replication_service_interface();
  minor.minor = 1;
  Bind bind;
  bind.contexts = {{0, other, {ndr20_syntax()}},
                   {1, newer, {ndr20_syntax()}},
                   {2, minor, {ndr20_syntax()}},
                   {3, replication_service_interface(), {ndr64_syntax()}}};
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
  bind.contexts = {{0, replication_service_interface(), {unknown}}};
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
  BindAck ack = client.bind(trv_testing::windows_style_bind(0, 1432));
  EXPECT_EQ(ack.max_xmit_frag, 1432);
  EXPECT_EQ(ack.max_recv_frag, 1432);
  ASSERT_TRUE(client.send_request(2, 1, 1, testing::u32_stub(10000)).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
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
      ASSERT_TRUE(client.send_request(call_id, 1, 0, part, split, total_hint).is_ok());
      RawClient::Answer answer;
      ASSERT_TRUE(client.read_answer(&answer).is_ok());
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
  ASSERT_TRUE(client.send(encode_request(2, request)).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.stub, stub);
}

TEST_F(ServerTest, EmptyStubRequestIsACall) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  ASSERT_TRUE(client.send_request(2, 1, 0, {}).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_TRUE(answer.stub.empty());
}

TEST_F(ServerTest, DispatcherFaultReachesTheClient) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  ASSERT_TRUE(client.send_request(2, 1, 3, testing::u32_stub(5)).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
  EXPECT_TRUE(answer.fault);
  EXPECT_EQ(answer.fault_status, 5u);
  EXPECT_EQ(answer.fault_flags, pfc::kSingleFrag);
  expect_echo(client, 1, 3);  // the connection goes on
}

TEST_F(ServerTest, DropClosesWithoutAnswer) {
  start();
  RawClient client(server_->port());
  ASSERT_EQ(client.bind_windows_style(), 1);
  ASSERT_TRUE(client.send_request(2, 1, 2, {}).is_ok());
  EXPECT_TRUE(client.wait_closed());
  RawClient again(server_->port());
  ASSERT_EQ(again.bind_windows_style(), 1);
  expect_echo(again, 1);
}

TEST_F(ServerTest, AlterContextAddsAContext) {
  start();
  RawClient client(server_->port());
  Bind bind;
  bind.contexts = {{0, replication_service_interface(), {ndr20_syntax()}}};
  ASSERT_EQ(client.bind(bind).results.at(0).result, context_result::kAcceptance);
  Bind alter;
  alter.contexts = {{7, replication_service_interface(), {ndr64_syntax()}}};
  ASSERT_TRUE(
      client.send(encode_bind(2, pfc::kSingleFrag, alter, PacketType::AlterContext)).is_ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client.read_pdu(&pdu).is_ok());
  ASSERT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::AlterContextResp));
  BindAck resp;
  ASSERT_TRUE(decode_bind_ack(pdu, &resp).is_ok());
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
  ASSERT_TRUE(
      late.send(encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(group))).is_ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(late.read_pdu(&pdu).is_ok());
  BindNak nak;
  ASSERT_TRUE(decode_bind_nak(pdu, &nak).is_ok());
  EXPECT_EQ(nak.reject_reason, reject_reason::kNotSpecified);
  EXPECT_TRUE(late.wait_closed());
  EXPECT_EQ(dispatcher_.ended_groups().size(), 1u);
}

TEST_F(AssociationGroupTest, UnknownGroupGetsBindNak) {
  start();
  RawClient client(server_->port());
  ASSERT_TRUE(client.send(encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0xDEAD)))
                  .is_ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client.read_pdu(&pdu).is_ok());
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
      ASSERT_TRUE(client.send_request(100 + i, 1, 4, {}).is_ok());
      RawClient::Answer answer;
      ASSERT_TRUE(client.read_answer(&answer).is_ok());
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
  void start_with_bound(int milliseconds, int pdu_milliseconds = 30000) {
    ServerOptions options;
    options.limits.idle_timeout_ms = milliseconds;
    options.limits.pdu_timeout_ms = pdu_milliseconds;
    options.on_event = [this](const rpc::ServerEvent& event) {
      std::lock_guard lock(events_mu_);
      events_.push_back(event.text);
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

// Silent connections are closed and a bound one's group ends; a peer's many
// silent connections cost one line, another peer's have their own.
TEST_F(IdleBoundTest, ASilentConnectionIsClosedAndItsGroupEnds) {
  start_with_bound(200);
  RawClient bound(server_->port());
  BindAck ack;
  ASSERT_EQ(bound.bind_windows_style(0, &ack), 1);
  expect_echo(bound, 1);
  std::vector<std::unique_ptr<RawClient>> hoard;
  for (int i = 0; i < 20; ++i) hoard.push_back(std::make_unique<RawClient>(server_->port()));
  RawClient neighbour(server_->port(), "127.0.0.2");
  EXPECT_TRUE(bound.wait_closed());
  for (auto& silent : hoard) EXPECT_TRUE(silent->wait_closed());
  EXPECT_TRUE(neighbour.wait_closed());
  dispatcher_.wait_for_ended(1);
  EXPECT_EQ(dispatcher_.ended_groups(), std::vector<std::uint32_t>{ack.assoc_group_id});
  testing::wait_for_open_connections(*server_, 0);
  EXPECT_EQ(server_->stats().idle_closed, 22u);
  const std::vector<std::string> lines = events();
  const auto count_from = [&](const std::string& address) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.starts_with("connection from " + address + ":") &&
             line.find(" closed: no PDU for 0.2 s") != std::string::npos;
    });
  };
  EXPECT_EQ(count_from("127.0.0.1"), 1) << ::testing::PrintToString(lines);
  EXPECT_EQ(count_from("127.0.0.2"), 1) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
  // The server goes on serving.
  RawClient fresh(server_->port());
  ASSERT_EQ(fresh.bind_windows_style(), 1);
  expect_echo(fresh, 1);
}

TEST_F(IdleBoundTest, ATrickleOfBytesDoesNotHoldAConnection) {
  start_with_bound(300, 300);
  RawClient client(server_->port());
  // The bind, a byte every 50 ms: 8 s for the whole PDU, far beyond the PDU
  // bound, though no gap between bytes comes near the idle bound.
  const std::vector<std::uint8_t> bind =
      encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0));
  for (std::uint8_t byte : bind) {
    if (!client.send({&byte, 1}).is_ok()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (server_->stats().slow_pdus == 1) break;
  }
  EXPECT_TRUE(client.wait_closed());
  EXPECT_EQ(server_->stats().slow_pdus, 1u);
  EXPECT_EQ(server_->stats().idle_closed, 0u);
  EXPECT_EQ(server_->stats().binds_ndr20 + server_->stats().binds_ndr64, 0u);
  const std::vector<std::string> lines = events();
  EXPECT_NE(
      std::find(lines.begin(), lines.end(),
                "connection from " + local_name(client) + " closed: a PDU took longer than 0.3 s"),
      lines.end());
}

// The idle bound ends with a PDU's first byte: a PDU that takes longer than
// the idle bound but less than the PDU bound is served.
TEST_F(IdleBoundTest, APduSlowerThanTheIdleBoundButWithinItsOwnIsServed) {
  start_with_bound(200, 20000);
  RawClient client(server_->port());
  const std::vector<std::uint8_t> bind =
      encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0));
  ASSERT_TRUE(client.send({bind.data(), 10}).is_ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_TRUE(client.send({bind.data() + 10, bind.size() - 10}).is_ok());
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client.read_pdu(&pdu).is_ok());
  EXPECT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::BindAck));
  EXPECT_EQ(server_->stats().slow_pdus + server_->stats().idle_closed, 0u);
}

TEST_F(IdleBoundTest, TheBoundStartsAfterTheAnswerSoASlowCallKeepsItsConnection) {
  start_with_bound(300);
  RawClient client(server_->port());
  // Bind and two calls at once: the second waits in the socket while the
  // first is being dispatched.
  std::vector<std::uint8_t> burst =
      encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0));
  ASSERT_TRUE(client.send(burst).is_ok());
  ASSERT_TRUE(client.send_request(2, 1, 4, {}).is_ok());
  const std::vector<std::uint8_t> stub = {7, 7, 7};
  ASSERT_TRUE(client.send_request(3, 1, 0, stub).is_ok());
  dispatcher_.wait_inside(1);
  // The call takes many times the bound.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  dispatcher_.release();
  std::vector<std::uint8_t> pdu;
  ASSERT_TRUE(client.read_pdu(&pdu).is_ok());  // bind_ack
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
  EXPECT_FALSE(answer.fault);
  EXPECT_EQ(answer.call_id, 2u);
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
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

// Who may use the server: the allow list, per-peer and overall caps, and
// association groups that only their creator's address can join. Peers are
// told apart by binding the client to 127.0.0.2, 127.0.0.3.
class PeerPolicyTest : public ServerTest {
 protected:
  void start_with(ServerOptions options) {
    options.on_event = events_.sink();
    start(options);
  }
  AddressRange range(const std::string& text) {
    AddressRange r;
    std::string error;
    EXPECT_TRUE(parse_address_range(text, &r, &error)) << error;
    return r;
  }
  // Binds with `group` and returns the answer's PDU type, leaving the nak's
  // bytes in *pdu.
  PacketType bind_answer(RawClient& client, std::uint32_t group, std::vector<std::uint8_t>* pdu) {
    EXPECT_TRUE(
        client.send(encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(group)))
            .is_ok());
    EXPECT_TRUE(client.read_pdu(pdu).is_ok());
    return pdu->size() > 2 ? static_cast<PacketType>((*pdu)[2]) : PacketType::Request;
  }

  testing::EventRecorder events_;
};

TEST_F(PeerPolicyTest, PeersOutsideTheAllowListAreClosedUnreadAndReportedOnce) {
  ServerOptions options;
  options.allow = {range("127.0.0.1"), range("127.0.0.3/32")};
  start_with(options);
  for (int i = 0; i < 3; ++i) {
    RawClient stranger(server_->port(), "127.0.0.2");
    // Whatever it sends, nothing comes back: no bind_ack, no nak.
    ASSERT_TRUE(stranger.send(encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0)))
                    .is_ok());
    EXPECT_TRUE(stranger.closed_unanswered());
  }
  RawClient local(server_->port(), "127.0.0.1");
  ASSERT_EQ(local.bind_windows_style(), 1);
  expect_echo(local, 1);
  RawClient other(server_->port(), "127.0.0.3");
  ASSERT_EQ(other.bind_windows_style(), 1);
  expect_echo(other, 1, 3);
  ASSERT_TRUE(testing::eventually([&] { return server_->stats().refused_not_allowed == 3; }));
  EXPECT_EQ(server_->stats().connections_refused, 3u);
  EXPECT_EQ(server_->stats().connections_accepted, 2u);
  EXPECT_EQ(events_.count("refused connection from 127.0.0.2: not in the allow list"), 1u);
  ASSERT_EQ(events_.events().size(), 1u);
  EXPECT_EQ(events_.events()[0].kind, ServerEvent::Kind::ConnectionRefused);
  EXPECT_EQ(events_.events()[0].peer, "127.0.0.2");
  // The dispatcher learns each call's peer address.
  auto calls = dispatcher_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].peer, "127.0.0.1");
  EXPECT_EQ(calls[1].peer, "127.0.0.3");
}

TEST_F(PeerPolicyTest, EmptyAllowListServesEveryPeer) {
  start_with({});
  for (const char* address : {"127.0.0.1", "127.0.0.2", "127.1.2.3"}) {
    RawClient client(server_->port(), address);
    ASSERT_EQ(client.bind_windows_style(), 1) << address;
    expect_echo(client, 1);
    EXPECT_EQ(dispatcher_.calls().back().peer, address);
  }
  EXPECT_EQ(server_->stats().connections_refused, 0u);
}

TEST_F(PeerPolicyTest, OnePeerCannotTakeEveryConnection) {
  ServerOptions options;
  options.limits.max_connections = 6;
  options.limits.max_connections_per_peer = 3;
  start_with(options);
  std::vector<std::unique_ptr<RawClient>> greedy;
  for (int i = 0; i < 3; ++i) {
    greedy.push_back(std::make_unique<RawClient>(server_->port(), "127.0.0.2"));
    ASSERT_EQ(greedy.back()->bind_windows_style(), 1);
  }
  for (int i = 0; i < 2; ++i) {
    RawClient more(server_->port(), "127.0.0.2");
    EXPECT_TRUE(more.closed_unanswered());
  }
  // Another peer still gets in, up to the overall cap.
  std::vector<std::unique_ptr<RawClient>> others;
  for (int i = 0; i < 3; ++i) {
    others.push_back(std::make_unique<RawClient>(server_->port(), "127.0.0.1"));
    ASSERT_EQ(others.back()->bind_windows_style(), 1);
  }
  RawClient over(server_->port(), "127.0.0.3");
  EXPECT_TRUE(over.closed_unanswered());
  ASSERT_TRUE(testing::eventually([&] { return server_->stats().connections_refused == 3; }));
  EXPECT_EQ(server_->stats().refused_peer_limit, 2u);
  EXPECT_EQ(server_->stats().refused_limit, 1u);
  EXPECT_EQ(
      events_.count(
          "refused connection from 127.0.0.2: 3 connections open from it (the most per peer)"),
      1u);
  EXPECT_EQ(events_.count("refused connection from 127.0.0.3: 6 connections open (the most)"), 1u);
  // A connection that ends gives its peer's place back.
  greedy.front()->socket().close();
  testing::wait_for_open_connections(*server_, 5);
  RawClient again(server_->port(), "127.0.0.2");
  ASSERT_EQ(again.bind_windows_style(), 1);
  expect_echo(again, 1);
}

TEST_F(PeerPolicyTest, DefaultCapsLeaveRoomForSixteenClients) {
  const ServerLimits limits;
  EXPECT_EQ(limits.max_connections, 512u);
  EXPECT_EQ(limits.max_connections_per_peer, 288u);
  EXPECT_GE(limits.max_connections_per_peer, 16u * 17u);
  EXPECT_EQ(limits.max_fragments_per_call, 4096u);
  EXPECT_EQ(limits.pdu_timeout_ms, 30000);
}

TEST_F(PeerPolicyTest, AnotherPeerCannotJoinAGroup) {
  start_with({});
  RawClient owner(server_->port(), "127.0.0.1");
  BindAck ack;
  ASSERT_EQ(owner.bind_windows_style(0, &ack), 1);
  const std::uint32_t group = ack.assoc_group_id;

  RawClient thief(server_->port(), "127.0.0.2");
  std::vector<std::uint8_t> foreign_nak;
  ASSERT_EQ(bind_answer(thief, group, &foreign_nak), PacketType::BindNak);
  EXPECT_TRUE(thief.wait_closed());
  // Exactly the answer an unknown id gets, so live ids cannot be probed.
  RawClient prober(server_->port(), "127.0.0.2");
  std::vector<std::uint8_t> unknown_nak;
  ASSERT_EQ(bind_answer(prober, group ^ 0x80000000u, &unknown_nak), PacketType::BindNak);
  EXPECT_EQ(foreign_nak, unknown_nak);
  BindNak nak;
  ASSERT_TRUE(decode_bind_nak(foreign_nak, &nak).is_ok());
  EXPECT_EQ(nak.reject_reason, reject_reason::kNotSpecified);

  // The owner's address may join; the group never noticed the thief.
  RawClient second(server_->port(), "127.0.0.1");
  BindAck joined;
  ASSERT_EQ(second.bind_windows_style(group, &joined), 1);
  EXPECT_EQ(joined.assoc_group_id, group);
  expect_echo(second, 1);
  EXPECT_EQ(dispatcher_.calls().back().assoc_group, group);
  EXPECT_TRUE(dispatcher_.ended_groups().empty());
  EXPECT_EQ(server_->stats().group_refusals, 2u);
  // One line per kind and peer a minute: the probe's line is held back.
  EXPECT_EQ(events_.count("refused bind from " + thief.local_name() + ": association group " +
                          std::to_string(group) + " belongs to another peer"),
            1u);
  EXPECT_EQ(events_.count_starting("refused bind from 127.0.0.2:"), 1u);
  const std::vector<ServerEvent> events = events_.events();
  const auto refusal = std::find_if(events.begin(), events.end(), [&](const ServerEvent& event) {
    return event.peer == thief.local_name();
  });
  ASSERT_NE(refusal, events.end());
  EXPECT_EQ(refusal->kind, ServerEvent::Kind::BindRefused);
  EXPECT_EQ(refusal->group, group);
}

TEST_F(PeerPolicyTest, GroupIdsAreUnpredictable) {
  start_with({});
  std::vector<std::uint32_t> ids;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<RawClient>(server_->port()));
    BindAck ack;
    ASSERT_EQ(clients.back()->bind_windows_style(0, &ack), 1);
    ids.push_back(ack.assoc_group_id);
  }
  std::vector<std::uint32_t> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a repeated id";
  EXPECT_NE(sorted.front(), 0u);
  // A counter, or 24 random bits, would keep them close or below 2^24; 20
  // draws of 32 bits all do so with odds of 2^-160.
  EXPECT_GT(sorted.back() - sorted.front(), 1u << 24);
  EXPECT_GE(sorted.back(), 1u << 24);
}

// The bind_ack is one fragment and must fit in what the client can receive
// (its max_recv_frag, at least 1432): 32 bytes before the result list, 4 for
// its count, 24 per context element, so 58 elements fit in 1432 and 59 do not.
TEST_F(PeerPolicyTest, BindAckNeverExceedsTheClientsFragmentSize) {
  start_with({});
  auto bind_with = [](std::size_t elements, std::uint16_t max_recv) {
    Bind bind;
    bind.max_xmit_frag = 1432;
    bind.max_recv_frag = max_recv;
    for (std::size_t i = 0; i < elements; ++i) {
      bind.contexts.push_back(
          {static_cast<std::uint16_t>(i), replication_service_interface(), {ndr20_syntax()}});
    }
    return bind;
  };
  for (std::uint16_t max_recv : {std::uint16_t{1432}, std::uint16_t{100}}) {
    RawClient fits(server_->port());
    BindAck ack = fits.bind(bind_with(58, max_recv));
    ASSERT_EQ(ack.results.size(), 58u);
    EXPECT_EQ(ack.results[0].result, context_result::kAcceptance);
    expect_echo(fits, 0);

    RawClient too_many(server_->port());
    ASSERT_TRUE(too_many.send(encode_bind(1, pfc::kSingleFrag, bind_with(59, max_recv))).is_ok());
    std::vector<std::uint8_t> pdu;
    ASSERT_TRUE(too_many.read_pdu(&pdu).is_ok());
    ASSERT_EQ(pdu[2], static_cast<std::uint8_t>(PacketType::BindNak)) << max_recv;
    EXPECT_LE(pdu.size(), 1432u);
    EXPECT_TRUE(too_many.wait_closed());
  }
  // A client that receives more gets all its results.
  {
    RawClient big(server_->port());
    EXPECT_EQ(big.bind(bind_with(120, 5840)).results.size(), 120u);
  }
  // Only the acks made groups.
  testing::wait_for_open_connections(*server_, 0);
  EXPECT_EQ(server_->stats().bind_naks, 2u);
  EXPECT_EQ(dispatcher_.ended_groups().size(), 3u);
}

TEST(ServerLifecycleTest, StartTwiceFailsAndUnstartedStopIsHarmless) {
  TestDispatcher dispatcher;
  Server never(ServerOptions{}, replication_service_interface(), 1, &dispatcher);
  never.stop();
  Server server(ServerOptions{}, replication_service_interface(), 1, &dispatcher);
  ASSERT_TRUE(server.start().is_ok());
  EXPECT_EQ(server.start().code(), status::kInvalidArg);
}

TEST(ServerLifecycleTest, BusyPortFailsToStart) {
  TestDispatcher dispatcher;
  Server first(ServerOptions{}, replication_service_interface(), 1, &dispatcher);
  ASSERT_TRUE(first.start().is_ok());
  ServerOptions options;
  options.port = first.port();
  Server second(options, replication_service_interface(), 1, &dispatcher);
  EXPECT_EQ(second.start().code(), status::kServerUnavailable);
}

}  // namespace
}  // namespace rpc

namespace rpc {
namespace {

// Announces bulk bytes at a fixed offset of opnum 0's stub, as the
// replication service does for a chunk's data, and notes what it saw.
class BulkDispatcher : public testing::TestDispatcher {
 public:
  static constexpr std::size_t kBulkAt = 100;

  std::size_t call_arriving(std::uint16_t opnum, Syntax, std::span<const std::uint8_t>) override {
    ++arriving;
    return opnum == 0 ? kBulkAt : 0;
  }
  void call_arrived(std::uint16_t) override { ++arrived; }
  DispatchResult dispatch(const CallInfo& call, std::span<const std::uint8_t> stub,
                          std::vector<std::uint8_t>* reply) override {
    if (call.opnum == 0 && stub.size() > kBulkAt) {
      aligned = reinterpret_cast<std::uintptr_t>(stub.data() + kBulkAt) % kStubAlignment == 0;
    }
    return TestDispatcher::dispatch(call, stub, reply);
  }

  std::atomic<int> arriving{0};
  std::atomic<int> arrived{0};
  std::atomic<bool> aligned{false};
};

// A request of many fragments is reassembled so that its bulk bytes start
// at an aligned address, byte-exact; every announced arrival ends exactly
// once, also for a call abandoned halfway; and calls after the first reuse
// the pooled buffers without carrying anything over.
TEST(StubPlacementTest, BulkBytesLandAlignedAndEveryArrivalEndsOnce) {
  BulkDispatcher dispatcher;
  Server server(ServerOptions{}, replication_service_interface(),
                testing::TestDispatcher::kProcedures, &dispatcher);
  ASSERT_TRUE(server.start().is_ok());
  {
    RawClient client(server.port());
    ASSERT_EQ(client.bind_windows_style(), 1);
    for (std::uint32_t call = 2; call < 5; ++call) {
      std::vector<std::uint8_t> stub((1u << 20) + 64);
      for (std::size_t i = 0; i < stub.size(); ++i) {
        stub[i] = static_cast<std::uint8_t>(i * 131 + call);
      }
      dispatcher.aligned = false;
      ASSERT_TRUE(client.send_request(call, 1, 0, stub, 5816, true).is_ok());
      RawClient::Answer answer;
      ASSERT_TRUE(client.read_answer(&answer).is_ok());
      ASSERT_FALSE(answer.fault);
      EXPECT_TRUE(answer.stub == stub) << "call " << call;
      EXPECT_TRUE(dispatcher.aligned) << "call " << call;
    }
    EXPECT_EQ(dispatcher.arriving.load(), 3);
    EXPECT_EQ(dispatcher.arrived.load(), 3);

    // One fragment: passed where it lies, not announced.
    const std::vector<std::uint8_t> small(300, 7);
    ASSERT_TRUE(client.send_request(9, 1, 0, small).is_ok());
    RawClient::Answer answer;
    ASSERT_TRUE(client.read_answer(&answer).is_ok());
    EXPECT_EQ(answer.stub, small);
    EXPECT_EQ(dispatcher.arriving.load(), 3);

    // The first fragment of a call, then the client goes away.
    std::vector<std::uint8_t> fragment(kRequestHeaderSize + 5816, 1);
    encode_request_header(fragment.data(), pfc::kFirstFrag,
                          static_cast<std::uint16_t>(fragment.size()), 10, 1u << 20, 1, 0);
    ASSERT_TRUE(client.send(fragment).is_ok());
    ASSERT_TRUE(testing::eventually([&] { return dispatcher.arriving.load() == 4; }));
  }
  EXPECT_TRUE(testing::eventually([&] { return dispatcher.arrived.load() == 4; }));
  server.stop();
  EXPECT_EQ(dispatcher.arrived.load(), 4);
}

// The fragments of a call are read straight into its block, with those
// that follow read ahead on a guess of their length. Whatever their lengths,
// hints and what comes after them, and however the bytes are split across
// reads, every call is reassembled exactly, aligned, and answered in order.
TEST(StubPlacementTest, FragmentsOfAnyShapeReassembleExactly) {
  BulkDispatcher dispatcher;
  Server server(ServerOptions{}, replication_service_interface(),
                testing::TestDispatcher::kProcedures, &dispatcher);
  ASSERT_TRUE(server.start().is_ok());
  RawClient client(server.port());
  ASSERT_EQ(client.bind_windows_style(), 1);

  // A call's fragments: stub sizes in turn from `sizes` (the last one
  // repeating), alloc_hint the bytes left or, with `total_hint`, the whole.
  const auto fragments = [](std::uint32_t call_id, std::span<const std::uint8_t> stub,
                            const std::vector<std::size_t>& sizes, bool total_hint) {
    std::vector<std::uint8_t> out;
    std::size_t sent = 0;
    for (std::size_t f = 0; sent < stub.size() || f == 0; ++f) {
      const std::size_t size = std::min(sizes[std::min(f, sizes.size() - 1)], stub.size() - sent);
      std::uint8_t flags = f == 0 ? pfc::kFirstFrag : 0;
      if (sent + size == stub.size()) flags |= pfc::kLastFrag;
      const std::size_t at = out.size();
      out.resize(at + kRequestHeaderSize + size);
      encode_request_header(
          out.data() + at, flags, static_cast<std::uint16_t>(kRequestHeaderSize + size), call_id,
          static_cast<std::uint32_t>(total_hint ? stub.size() : stub.size() - sent), 1, 0);
      std::memcpy(out.data() + at + kRequestHeaderSize, stub.data() + sent, size);
      sent += size;
    }
    return out;
  };
  const auto stub_of = [](std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> stub(size);
    for (std::size_t i = 0; i < size; ++i)
      stub[i] = static_cast<std::uint8_t>(i * 131 + i / 997 + seed);
    return stub;
  };
  struct Case {
    std::size_t size;
    std::vector<std::size_t> sizes;
    bool total_hint;
  };
  const std::vector<Case> cases = {
      {(1u << 20) + 64, {5816}, false},                          // as trvc sends
      {(1u << 20) + 64, {5816}, true},                           // a hint that is no guide
      {300000, {5816, 5816, 1000, 5816, 8, 5816, 4000}, false},  // lengths that change
      {200000, {2000, 5816}, false},                             // a short first fragment
      {3 * 5816, {5816}, false},                                 // ends on a whole fragment
      {5816 + 1, {5816}, false},                                 // a one-byte last fragment
  };
  std::uint32_t next_call = 2;
  // Each case alone, then two calls sent back to back before either is
  // answered, so that the second's bytes arrive with the first's; each with
  // its bytes in one write and split across many.
  for (const std::size_t split : {std::size_t{0}, std::size_t{7001}, std::size_t{37}}) {
    for (std::size_t c = 0; c < cases.size(); ++c) {
      const Case& one = cases[c];
      const Case& two = cases[(c + 1) % cases.size()];
      const std::uint32_t first_id = next_call++;
      const std::uint32_t second_id = next_call++;
      const std::vector<std::uint8_t> first = stub_of(one.size, first_id);
      const std::vector<std::uint8_t> second = stub_of(two.size, second_id);
      std::vector<std::uint8_t> bytes = fragments(first_id, first, one.sizes, one.total_hint);
      const std::vector<std::uint8_t> more =
          fragments(second_id, second, two.sizes, two.total_hint);
      bytes.insert(bytes.end(), more.begin(), more.end());
      std::jthread sender([&] {
        const std::size_t step = split == 0 ? bytes.size() : split;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
          if (!client.send(std::span(bytes).subspan(at, std::min(step, bytes.size() - at)))
                   .is_ok()) {
            return;
          }
        }
      });
      for (const auto* expected : {&first, &second}) {
        RawClient::Answer answer;
        ASSERT_TRUE(client.read_answer(&answer).is_ok()) << c << " " << split;
        ASSERT_FALSE(answer.fault) << c << " " << split;
        EXPECT_TRUE(answer.stub == *expected) << c << " " << split;
        EXPECT_TRUE(dispatcher.aligned) << c << " " << split;
      }
    }
  }
  EXPECT_EQ(dispatcher.arriving.load(), dispatcher.arrived.load());
  EXPECT_EQ(server.stats().protocol_errors, 0u);

  // A fragment read ahead that belongs to another call ends the connection
  // as it would have without the read ahead.
  const std::vector<std::uint8_t> stub = stub_of(100000, 1);
  std::vector<std::uint8_t> bytes = fragments(next_call, stub, {5816}, false);
  put_u32(bytes.data() + 5 * (kRequestHeaderSize + 5816) + 12, next_call + 1);
  ASSERT_TRUE(client.send(bytes).is_ok());
  RawClient::Answer answer;
  ASSERT_TRUE(client.read_answer(&answer).is_ok());
  EXPECT_TRUE(answer.fault);
  EXPECT_EQ(answer.fault_status, nca::kProtoError);
  EXPECT_TRUE(client.wait_closed());
  EXPECT_EQ(server.stats().protocol_errors, 1u);
}

}  // namespace
}  // namespace rpc
