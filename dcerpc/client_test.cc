// The client runtime against scripted raw servers: the bind it sends and how
// it reads the answers, request fragmentation within the granted size, reply
// reassembly, faults and protocol violations, lost connections, the
// connection pool and asynchronous completion.
#include "dcerpc/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dcerpc/binding.h"
#include "dcerpc/client_testing.h"
#include "platform/fault_injection.h"
#include "testing/service_bind.h"

namespace rpc {
namespace {

using testing::answer_bind;
using testing::read_request;
using testing::ScopedBinding;
using testing::ScriptedPeer;
using testing::send_result;

// A script that binds (NDR64 accepted) and answers every request with
// `result` until the client goes away.
ScriptedPeer::Script answering(std::int32_t result, int accept_context = 1,
                               std::uint32_t group = 0x5a17) {
  return [=](Socket& socket, int) {
    answer_bind(socket, accept_context, kDefaultMaxFragment, group);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    while (read_request(socket, &stub, &header, &request)) {
      send_result(socket, header.call_id, request.context_id, result);
    }
  };
}

// Makes one synchronous call; returns the reply stub, or the thrown status
// in *status.
std::vector<std::uint8_t> call(RPC_BINDING_HANDLE binding, std::uint16_t opnum,
                               std::span<const std::uint8_t> stub, RPC_STATUS* status,
                               Syntax* syntax = nullptr) {
  *status = RPC_S_OK;
  try {
    CallChannel channel(binding, replication_service_offer());
    if (syntax != nullptr) *syntax = channel.syntax();
    const ConstBuffer piece{stub.data(), stub.size()};
    std::span<const std::uint8_t> reply = channel.call(opnum, std::span(&piece, 1));
    return std::vector<std::uint8_t>(reply.begin(), reply.end());
  } catch (const RpcException& exception) {
    *status = exception.code;
    return {};
  }
}

RPC_STATUS call_status(RPC_BINDING_HANDLE binding) {
  const std::uint8_t stub[2] = {3, 0};
  RPC_STATUS status;
  call(binding, 0, stub, &status);
  return status;
}

// --- bind ----------------------------------------------------------------

TEST(ClientBindTest, SendsTheBindOfA64BitWindowsClient) {
  // The bind a 64-bit Windows client sends for this interface, byte for byte.
  const std::uint8_t expected[160] = {
      0x05, 0x00, 0x0b, 0x03, 0x10, 0x00, 0x00, 0x00, 0xa0, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
      0x00, 0xd0, 0x16, 0xd0, 0x16, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x91, 0x6c, 0xca, 0x28, 0xeb, 0xa6, 0x3d, 0x42, 0x82, 0xcf, 0x54, 0x8f, 0x5d,
      0xf5, 0x42, 0xbc, 0x01, 0x00, 0x00, 0x00, 0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
      0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
      0x00, 0x91, 0x6c, 0xca, 0x28, 0xeb, 0xa6, 0x3d, 0x42, 0x82, 0xcf, 0x54, 0x8f, 0x5d, 0xf5,
      0x42, 0xbc, 0x01, 0x00, 0x00, 0x00, 0x33, 0x05, 0x71, 0x71, 0xba, 0xbe, 0x37, 0x49, 0x83,
      0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00,
      0x91, 0x6c, 0xca, 0x28, 0xeb, 0xa6, 0x3d, 0x42, 0x82, 0xcf, 0x54, 0x8f, 0x5d, 0xf5, 0x42,
      0xbc, 0x01, 0x00, 0x00, 0x00, 0x2c, 0x1c, 0xb7, 0x6c, 0x12, 0x98, 0x40, 0x45, 0x03, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
  std::mutex lock;
  std::vector<std::uint8_t> seen;
  ScriptedPeer server([&](Socket& socket, int) {
    std::vector<std::uint8_t> pdu(sizeof(expected));
    if (!socket.read_exact(pdu.data(), pdu.size()).is_ok()) return;
    {
      std::lock_guard guard(lock);
      seen = pdu;
    }
    socket.shutdown();  // never answers the bind
  });
  ScopedBinding binding(server.string_binding());
  EXPECT_EQ(call_status(binding.get()), RPC_S_SERVER_UNAVAILABLE);
  std::lock_guard guard(lock);
  ASSERT_EQ(seen.size(), sizeof(expected));
  EXPECT_EQ(std::memcmp(seen.data(), expected, sizeof(expected)), 0);
}

TEST(ClientBindTest, UsesNdr64WhenAcceptedAndNdr20WhenOnlyThatIs) {
  for (int accepted : {1, 0}) {
    ScriptedPeer server(answering(107, accepted));
    ScopedBinding binding(server.string_binding());
    RPC_STATUS status;
    Syntax syntax = Syntax::Ndr20;
    const std::uint8_t stub[2] = {3, 0};
    std::vector<std::uint8_t> reply = call(binding.get(), 0, stub, &status, &syntax);
    ASSERT_EQ(status, RPC_S_OK);
    EXPECT_EQ(syntax, accepted == 1 ? Syntax::Ndr64 : Syntax::Ndr20);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{107, 0, 0, 0}));
  }
}

TEST(ClientBindTest, BindFailuresBecomeWindowsStatuses) {
  struct Case {
    const char* what;
    ScriptedPeer::Script script;
    RPC_STATUS expected;
  };
  auto nak = [](std::uint16_t reason) {
    return [reason](Socket& socket, int) {
      std::vector<std::uint8_t> pdu;
      CommonHeader header;
      if (!testing::read_pdu(socket, &pdu, &header)) return;
      std::vector<std::uint8_t> out = encode_bind_nak(header.call_id, reason);
      (void)socket.write_all(out.data(), out.size());
    };
  };
  Case cases[] = {
      {"nak protocol version", nak(reject_reason::kProtocolVersionNotSupported),
       RPC_S_PROTOCOL_ERROR},
      {"nak congestion", nak(reject_reason::kTemporaryCongestion), RPC_S_SERVER_TOO_BUSY},
      {"nak unspecified", nak(reject_reason::kNotSpecified), RPC_S_CALL_FAILED_DNE},
      {"interface unknown",
       [](Socket& socket, int) {
         answer_bind(socket, -1, kDefaultMaxFragment, 1,
                     provider_reason::kAbstractSyntaxNotSupported);
       },
       RPC_S_UNKNOWN_IF},
      {"no transfer syntax",
       [](Socket& socket, int) {
         answer_bind(socket, -1, kDefaultMaxFragment, 1,
                     provider_reason::kTransferSyntaxesNotSupported);
       },
       RPC_S_UNSUPPORTED_TRANS_SYN},
      {"hang-up during the bind",
       [](Socket& socket, int) {
         std::vector<std::uint8_t> pdu;
         CommonHeader header;
         testing::read_pdu(socket, &pdu, &header);
         socket.shutdown();
       },
       RPC_S_SERVER_UNAVAILABLE},
      {"request answered in place of the bind",
       [](Socket& socket, int) {
         std::vector<std::uint8_t> pdu;
         CommonHeader header;
         testing::read_pdu(socket, &pdu, &header);
         send_result(socket, header.call_id, 0, 107);
       },
       RPC_S_PROTOCOL_ERROR},
  };
  for (Case& c : cases) {
    ScriptedPeer server(c.script);
    ScopedBinding binding(server.string_binding());
    EXPECT_EQ(call_status(binding.get()), c.expected) << c.what;
  }
}

TEST(ClientBindTest, UnreachableServerIsServerUnavailable) {
  std::uint16_t port;
  {
    Listener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).is_ok());
    port = listener.port();
  }  // closed: connecting is refused
  ScopedBinding binding(L"ncacn_ip_tcp:127.0.0.1[" + std::to_wstring(port) + L"]");
  EXPECT_EQ(call_status(binding.get()), RPC_S_SERVER_UNAVAILABLE);
  ScopedBinding no_endpoint(L"ncacn_ip_tcp:127.0.0.1");
  EXPECT_EQ(call_status(no_endpoint.get()), RPC_S_NO_ENDPOINT_FOUND);
}

// --- association and pool --------------------------------------------------

TEST(ClientPoolTest, LaterConnectionsJoinTheGroupOfTheFirst) {
  std::mutex lock;
  std::condition_variable recorded;
  // By connection, in the order accepted: the script threads of two
  // connections may record in either order.
  std::vector<std::uint32_t> groups(3, 0xffffffff);
  int seen = 0;
  ScriptedPeer server([&](Socket& socket, int index) {
    Bind bind = answer_bind(socket, 1, kDefaultMaxFragment, 0x00c0ffee);
    std::lock_guard guard(lock);
    if (index < 3) groups[static_cast<std::size_t>(index)] = bind.assoc_group_id;
    ++seen;
    recorded.notify_all();
  });
  ScopedBinding binding(server.string_binding());
  {
    // Three calls at once need three connections.
    CallChannel first(binding.get(), replication_service_offer());
    CallChannel second(binding.get(), replication_service_offer());
    CallChannel third(binding.get(), replication_service_offer());
  }
  std::unique_lock guard(lock);
  recorded.wait(guard, [&] { return seen == 3; });
  EXPECT_EQ(groups, (std::vector<std::uint32_t>{0, 0x00c0ffee, 0x00c0ffee}));
}

TEST(ClientPoolTest, ReusesAnIdleConnectionAndReplacesOneTheServerClosed) {
  // Connection 0 answers one call and hangs up; connection 1 answers all.
  std::mutex lock;
  std::condition_variable changed;
  bool hung_up = false;
  ScriptedPeer server([&](Socket& socket, int index) {
    answer_bind(socket, 1, kDefaultMaxFragment, 7);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    while (read_request(socket, &stub, &header, &request)) {
      send_result(socket, header.call_id, request.context_id, 107);
      if (index == 0) {
        socket.shutdown_write();
        std::lock_guard guard(lock);
        hung_up = true;
        changed.notify_all();
        return;
      }
    }
  });
  ScopedBinding binding(server.string_binding());
  Binding* inner = Binding::from_handle(binding.get());
  EXPECT_EQ(call_status(binding.get()), RPC_S_OK);
  EXPECT_EQ(inner->open_connections(), 1u);
  {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return hung_up; });
  }
  // The closed connection is noticed before the call is trusted to it.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(call_status(binding.get()), RPC_S_OK);
  EXPECT_EQ(server.connections(), 2);
  EXPECT_EQ(inner->open_connections(), 1u);
}

// --- requests and replies ------------------------------------------------------

TEST(ClientRequestTest, FragmentsFitA1432GrantAndCarryTheStubExactly) {
  constexpr std::uint16_t kGrant = kMustRecvFragment;
  std::vector<std::uint8_t> head(64);
  std::vector<std::uint8_t> data(1 << 20);
  for (std::size_t i = 0; i < head.size(); ++i) head[i] = static_cast<std::uint8_t>(0xF0 ^ i);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
  const std::size_t total = head.size() + data.size();

  struct Seen {
    std::size_t fragments = 0;
    std::vector<std::string> faults;
    std::vector<std::uint8_t> stub;
  } seen;
  std::mutex lock;
  ScriptedPeer server([&](Socket& socket, int) {
    answer_bind(socket, 1, kGrant, 9);
    std::vector<std::uint8_t> stub;
    std::vector<std::string> faults;
    std::size_t fragments = 0;
    std::uint32_t call_id = 0;
    for (;;) {
      std::vector<std::uint8_t> pdu;
      CommonHeader header;
      if (!testing::read_pdu(socket, &pdu, &header)) return;
      Request request;
      if (!decode_request(pdu, &header, &request).is_ok()) faults.push_back("undecodable");
      if (header.frag_length > kGrant) faults.push_back("fragment above the grant");
      const bool first = fragments++ == 0;
      if (first) call_id = header.call_id;
      if (((header.flags & pfc::kFirstFrag) != 0) != first) faults.push_back("FIRST flag");
      if (header.call_id != call_id) faults.push_back("call id changed");
      if (request.context_id != 1 || request.opnum != 1) faults.push_back("context or opnum");
      if (request.alloc_hint != total - stub.size()) faults.push_back("alloc_hint");
      const bool last = (header.flags & pfc::kLastFrag) != 0;
      if (!last && request.stub.size() % 8 != 0) faults.push_back("non-last stub not 8-aligned");
      stub.insert(stub.end(), request.stub.begin(), request.stub.end());
      if (last) {
        {
          std::lock_guard guard(lock);
          seen.fragments = fragments;
          seen.faults = faults;
          seen.stub = std::move(stub);
        }
        send_result(socket, header.call_id, 1, 100);
        return;
      }
    }
  });
  ScopedBinding binding(server.string_binding());
  CallChannel channel(binding.get(), replication_service_offer());
  const ConstBuffer pieces[] = {{head.data(), head.size()}, {data.data(), data.size()}};
  std::span<const std::uint8_t> reply = channel.call(1, pieces);
  EXPECT_EQ(reply.size(), 4u);

  std::lock_guard guard(lock);
  const std::size_t per_fragment = (kGrant - kRequestHeaderSize) & ~std::size_t{7};
  EXPECT_EQ(seen.fragments, (total + per_fragment - 1) / per_fragment);
  EXPECT_TRUE(seen.faults.empty()) << seen.faults.front();
  ASSERT_EQ(seen.stub.size(), total);
  EXPECT_EQ(std::memcmp(seen.stub.data(), head.data(), head.size()), 0);
  EXPECT_EQ(std::memcmp(seen.stub.data() + head.size(), data.data(), data.size()), 0);
}

TEST(ClientRequestTest, AReplyInSeveralFragmentsIsReassembled) {
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    if (!read_request(socket, &stub, &header, &request)) return;
    const std::uint8_t parts[3][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};
    const std::uint8_t flags[3] = {pfc::kFirstFrag, 0, pfc::kLastFrag};
    for (int i = 0; i < 3; ++i) {
      std::vector<std::uint8_t> pdu = encode_response(header.call_id, 1, parts[i], flags[i]);
      (void)socket.write_all(pdu.data(), pdu.size());
    }
  });
  ScopedBinding binding(server.string_binding());
  RPC_STATUS status;
  const std::uint8_t stub[2] = {0, 0};
  EXPECT_EQ(call(binding.get(), 0, stub, &status),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(status, RPC_S_OK);
}

TEST(ClientRequestTest, AFaultIsItsMappedStatusAndKeepsTheConnection) {
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    while (read_request(socket, &stub, &header, &request)) {
      if (request.opnum >= 4) {
        auto fault = encode_fault(header.call_id, 1, nca::kOpRngError, true);
        (void)socket.write_all(fault.data(), fault.size());
      } else {
        send_result(socket, header.call_id, 1, 108);
      }
    }
  });
  ScopedBinding binding(server.string_binding());
  RPC_STATUS status;
  const std::uint8_t stub[2] = {0, 0};
  call(binding.get(), 9, stub, &status);
  EXPECT_EQ(status, RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_EQ(call(binding.get(), 3, stub, &status), (std::vector<std::uint8_t>{108, 0, 0, 0}));
  EXPECT_EQ(status, RPC_S_OK);
  EXPECT_EQ(server.connections(), 1);
}

TEST(ClientRequestTest, ProtocolViolationsAndLostConnectionsFailTheCall) {
  struct Case {
    const char* what;
    std::function<void(Socket&, std::uint32_t call_id)> answer;
    RPC_STATUS expected;
  };
  Case cases[] = {
      {"reply for another call",
       [](Socket& s, std::uint32_t id) { send_result(s, id + 1, 1, 107); }, RPC_S_PROTOCOL_ERROR},
      {"bind_ack in place of a reply",
       [](Socket& s, std::uint32_t id) {
         auto pdu = encode_bind_ack(id, pfc::kSingleFrag, BindAck{});
         (void)s.write_all(pdu.data(), pdu.size());
       },
       RPC_S_PROTOCOL_ERROR},
      {"continuation without a first fragment",
       [](Socket& s, std::uint32_t id) {
         const std::uint8_t stub[4] = {};
         auto pdu = encode_response(id, 1, stub, pfc::kLastFrag);
         (void)s.write_all(pdu.data(), pdu.size());
       },
       RPC_S_PROTOCOL_ERROR},
      {"garbage header",
       [](Socket& s, std::uint32_t) {
         const std::uint8_t junk[16] = {4, 0, 2, 3, 0x10};
         (void)s.write_all(junk, sizeof(junk));
       },
       RPC_S_PROTOCOL_ERROR},
      {"hang-up before the reply", [](Socket& s, std::uint32_t) { s.shutdown(); },
       RPC_S_CALL_FAILED},
      {"hang-up inside a reply fragment",
       [](Socket& s, std::uint32_t id) {
         const std::uint8_t stub[4] = {};
         auto pdu = encode_response(id, 1, stub);
         (void)s.write_all(pdu.data(), pdu.size() - 2);
         s.shutdown();
       },
       RPC_S_CALL_FAILED},
      {"reply beyond the client's limit",
       [](Socket& s, std::uint32_t id) {
         std::vector<std::uint8_t> chunk(5816);
         for (std::size_t sent = 0; sent <= kMaxReplyStub; sent += chunk.size()) {
           auto pdu = encode_response(id, 1, chunk, sent == 0 ? pfc::kFirstFrag : 0);
           if (!s.write_all(pdu.data(), pdu.size()).is_ok()) return;
         }
       },
       RPC_S_PROTOCOL_ERROR},
  };
  for (Case& c : cases) {
    ScriptedPeer server([&](Socket& socket, int) {
      answer_bind(socket, 1, kDefaultMaxFragment, 1);
      std::vector<std::uint8_t> stub;
      CommonHeader header;
      Request request;
      if (read_request(socket, &stub, &header, &request)) c.answer(socket, header.call_id);
    });
    ScopedBinding binding(server.string_binding());
    EXPECT_EQ(call_status(binding.get()), c.expected) << c.what;
    // The broken connection is not pooled.
    EXPECT_EQ(Binding::from_handle(binding.get())->open_connections(), 0u) << c.what;
  }
}

// --- asynchronous calls ------------------------------------------------------

RPC_STATUS decode_i32(std::span<const std::uint8_t> stub, Syntax, void* reply) {
  if (stub.size() != 4) return RPC_X_BAD_STUB_DATA;
  *static_cast<std::int32_t*>(reply) = static_cast<std::int32_t>(get_u32(stub.data()));
  return RPC_S_OK;
}

// A port, a prepared state and the means to start a call on it.
class ClientAsyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(port_, nullptr);
    ASSERT_EQ(RpcAsyncInitializeHandle(&state_, sizeof(state_)), RPC_S_OK);
    state_.Flags = RPC_C_NOTIFY_ON_SEND_COMPLETE;
    state_.NotificationType = RpcNotificationTypeIoc;
    state_.u.IOC.hIOPort = port_;
    state_.u.IOC.dwNumberOfBytesTransferred = 11;
    state_.u.IOC.dwCompletionKey = 4;
    state_.u.IOC.lpOverlapped = &overlapped_;
  }
  void TearDown() override {
    CloseHandle(port_);
    EXPECT_EQ(async_calls_in_use(), 0);
  }

  void start(RPC_BINDING_HANDLE binding) {
    CallChannel channel(binding, replication_service_offer());
    const std::uint8_t stub[2] = {1, 0};
    const ConstBuffer piece{stub, sizeof(stub)};
    channel.start_async(2, std::span(&piece, 1), &state_, &decode_i32);
  }

  // Waits for the one packet of the call and checks that it carries the
  // caller's values.
  void expect_completion() {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    ASSERT_TRUE(GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, INFINITE));
    EXPECT_EQ(bytes, 11u);
    EXPECT_EQ(key, 4u);
    EXPECT_EQ(overlapped, &overlapped_);
    EXPECT_EQ(state_.Event, RpcCallComplete);
  }
  void expect_no_further_packet() {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, 0));
  }

  HANDLE port_ = nullptr;
  RPC_ASYNC_STATE state_{};
  OVERLAPPED overlapped_{};
};

TEST_F(ClientAsyncTest, PendingUntilTheReplyThenExactlyOnePacketAndTheResult) {
  std::mutex lock;
  std::condition_variable changed;
  bool release = false;
  ScriptedPeer server([&](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    if (!read_request(socket, &stub, &header, &request)) return;
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return release; });
    send_result(socket, header.call_id, 1, 104);
    while (read_request(socket, &stub, &header, &request)) {
    }
  });
  auto let_server_answer = [&] {
    {
      std::lock_guard guard(lock);
      release = true;
    }
    changed.notify_all();
  };
  // Lets the server go even when a check below fails.
  std::unique_ptr<void, std::function<void(void*)>> answer_anyway(
      &lock, [&](void*) { let_server_answer(); });
  ScopedBinding binding(server.string_binding());
  start(binding.get());
  std::int32_t reply = 0;
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_ASYNC_CALL_PENDING);
  let_server_answer();
  expect_completion();
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_OK);
  EXPECT_EQ(reply, 104);
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_INVALID_ASYNC_HANDLE);
  expect_no_further_packet();
  // The connection went back to the pool for the next call.
  EXPECT_EQ(Binding::from_handle(binding.get())->open_connections(), 1u);
}

TEST_F(ClientAsyncTest, AServerThatVanishesMidCallFailsTheCall) {
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    if (read_request(socket, &stub, &header, &request)) socket.shutdown();
  });
  ScopedBinding binding(server.string_binding());
  start(binding.get());
  expect_completion();
  std::int32_t reply = 0;
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_CALL_FAILED);
  expect_no_further_packet();
}

TEST_F(ClientAsyncTest, FreeingTheBindingFailsAnOutstandingCall) {
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    while (read_request(socket, &stub, &header, &request)) {
    }  // never answers
  });
  RPC_BINDING_HANDLE binding = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingW(server.string_binding().c_str(), &binding), RPC_S_OK);
  start(binding);
  ASSERT_EQ(RpcBindingFree(&binding), RPC_S_OK);
  expect_completion();
  std::int32_t reply = 0;
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_CALL_FAILED);
}

TEST_F(ClientAsyncTest, FailuresBeforeTheCallIsUnderWayAreThrown) {
  ScriptedPeer server(answering(100));
  ScopedBinding binding(server.string_binding());
  RPC_ASYNC_STATE uninitialised{};
  try {
    CallChannel channel(binding.get(), replication_service_offer());
    const std::uint8_t stub[2] = {};
    const ConstBuffer piece{stub, sizeof(stub)};
    channel.start_async(2, std::span(&piece, 1), &uninitialised, &decode_i32);
    ADD_FAILURE() << "no exception";
  } catch (const RpcException& exception) {
    EXPECT_EQ(exception.code, RPC_S_INVALID_ASYNC_HANDLE);
  }
  try {
    CallChannel channel(nullptr, replication_service_offer());
    ADD_FAILURE() << "no exception";
  } catch (const RpcException& exception) {
    EXPECT_EQ(exception.code, RPC_S_INVALID_BINDING);
  }
  expect_no_further_packet();
}

// --- bounds: every wait ends; pings keep idle connections -------------------

// Reads PDUs until the client goes away, answering none.
void read_until_closed(Socket& socket) {
  std::vector<std::uint8_t> pdu;
  CommonHeader header;
  while (testing::read_pdu(socket, &pdu, &header)) {
  }
}

// Flags the scripts raise and the test waits for.
class Signals {
 public:
  void raise(int* counter) {
    std::lock_guard guard(lock_);
    ++*counter;
    changed_.notify_all();
  }
  // True once `*counter` reached `at_least`; the bound only keeps a broken
  // client from hanging the test.
  bool wait_for(const int* counter, int at_least) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(30), [&] { return *counter >= at_least; });
  }
  std::mutex& lock() { return lock_; }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
};

// A server that answers pings the way ours does, or never.
void answer_ping(Socket& socket, const CommonHeader& header, const Bind& alter) {
  BindAck resp;
  resp.assoc_group_id = alter.assoc_group_id;
  for (const ContextElement& element : alter.contexts) {
    ContextResult result;
    result.transfer_syntax = element.transfer_syntaxes.front();
    resp.results.push_back(result);
  }
  std::vector<std::uint8_t> out =
      encode_bind_ack(header.call_id, pfc::kSingleFrag, resp, PacketType::AlterContextResp);
  EXPECT_TRUE(socket.write_all(out.data(), out.size()).is_ok());
}

// Shortened bounds for the tests of this fixture only; the shipped ones
// again afterwards (a test bound can only shorten).
class ClientBoundsTest : public ClientAsyncTest {
 protected:
  void SetUp() override {
    ClientAsyncTest::SetUp();
    set_test_bound("rpc.reply", 400);
    set_test_bound("rpc.keepalive", kKeepaliveIdleMs);
  }
  void TearDown() override {
    set_test_bound("rpc.reply", kReplyTimeoutMs);
    set_test_bound("rpc.keepalive", kKeepaliveIdleMs);
    ClientAsyncTest::TearDown();
  }
  // The outcome of the call started by start(), after its one packet.
  RPC_STATUS async_outcome(std::int32_t* reply) {
    expect_completion();
    RPC_STATUS status = RpcAsyncCompleteCall(&state_, reply);
    expect_no_further_packet();
    return status;
  }
};

TEST_F(ClientBoundsTest, SilentServersCancelTheCallAndItsConnectionIsNeverReused) {
  struct Case {
    const char* what;
    std::function<void(Socket&)> script;  // on connection 0; later ones answer
  };
  auto bound_then = [](std::function<void(Socket&, std::uint32_t call_id)> after_request) {
    return [after_request](Socket& socket) {
      answer_bind(socket, 1, kDefaultMaxFragment, 1);
      std::vector<std::uint8_t> stub;
      CommonHeader header;
      Request request;
      if (read_request(socket, &stub, &header, &request)) after_request(socket, header.call_id);
      read_until_closed(socket);
    };
  };
  Case cases[] = {
      {"bind never answered", read_until_closed},
      {"reply never sent", bound_then([](Socket&, std::uint32_t) {})},
      {"last fragment never sent", bound_then([](Socket& socket, std::uint32_t id) {
         const std::uint8_t part[8] = {1, 2, 3, 4, 5, 6, 7, 8};
         auto pdu = encode_response(id, 1, part, pfc::kFirstFrag);
         (void)socket.write_all(pdu.data(), pdu.size());
       })},
      {"fragment cut short", bound_then([](Socket& socket, std::uint32_t id) {
         const std::uint8_t stub[4] = {};
         auto pdu = encode_response(id, 1, stub);
         (void)socket.write_all(pdu.data(), pdu.size() - 3);
       })},
  };
  for (Case& c : cases) {
    ScriptedPeer server([&](Socket& socket, int index) {
      if (index == 0) return c.script(socket);
      answering(107)(socket, index);
    });
    ScopedBinding binding(server.string_binding());
    EXPECT_EQ(call_status(binding.get()), RPC_S_CALL_CANCELLED) << c.what;
    EXPECT_EQ(Binding::from_handle(binding.get())->open_connections(), 0u) << c.what;
    // The next call cannot land on the dead connection.
    EXPECT_EQ(call_status(binding.get()), RPC_S_OK) << c.what;
    EXPECT_EQ(server.connections(), 2) << c.what;
  }
}

TEST_F(ClientBoundsTest, AServerThatStopsReadingCancelsTheSend) {
  // Far more than loopback's socket buffers hold on both sides together.
  std::vector<std::uint8_t> big(32u << 20, 0x5a);
  const ConstBuffer piece{big.data(), big.size()};
  Signals signals;
  int done = 0;
  ScriptedPeer server([&](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    signals.wait_for(&done, 1);  // reads nothing more
  });
  // Lets the scripts end before the server is stopped, whatever happens.
  std::unique_ptr<void, std::function<void(void*)>> finish_scripts(
      &done, [&](void*) { signals.raise(&done); });
  ScopedBinding binding(server.string_binding());
  try {
    CallChannel channel(binding.get(), replication_service_offer());
    channel.call(1, std::span(&piece, 1));
    ADD_FAILURE() << "the call ended normally";
  } catch (const RpcException& exception) {
    EXPECT_EQ(exception.code, RPC_S_CALL_CANCELLED);
  }
  EXPECT_EQ(Binding::from_handle(binding.get())->open_connections(), 0u);

  // Asynchronously the send is the caller's too, and the call completes once.
  CallChannel channel(binding.get(), replication_service_offer());
  channel.start_async(1, std::span(&piece, 1), &state_, &decode_i32);
  std::int32_t reply = 0;
  EXPECT_EQ(async_outcome(&reply), RPC_S_CALL_CANCELLED);
}

TEST_F(ClientBoundsTest, AnUnansweredAsyncCallCompletesOnceCancelledAndDropsItsConnection) {
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    read_until_closed(socket);
  });
  ScopedBinding binding(server.string_binding());
  start(binding.get());
  std::int32_t reply = 0;
  EXPECT_EQ(async_outcome(&reply), RPC_S_CALL_CANCELLED);
  EXPECT_EQ(Binding::from_handle(binding.get())->open_connections(), 0u);
}

TEST_F(ClientBoundsTest, RepliesThatTrickleInSlowerThanTheBoundAsAWholeSucceed) {
  // One byte every 50 ms: each reply takes far longer than the 400 ms bound,
  // but no gap reaches it.
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    while (read_request(socket, &stub, &header, &request)) {
      const std::uint8_t result[4] = {100, 0, 0, 0};
      std::vector<std::uint8_t> pdu = encode_response(header.call_id, 1, result);
      for (std::uint8_t byte : pdu) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!socket.write_all(&byte, 1).is_ok()) return;
      }
    }
  });
  ScopedBinding binding(server.string_binding());
  EXPECT_EQ(call_status(binding.get()), RPC_S_OK);  // the socket's bound
  start(binding.get());                             // the reader's
  std::int32_t reply = 0;
  EXPECT_EQ(async_outcome(&reply), RPC_S_OK);
  EXPECT_EQ(reply, 100);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ClientBoundsTest, RepliesCarryingCallIdOneAnswerTheOutstandingCall) {
  // As Wine's runtime answers: call_id 1 on the bind_ack and on every reply.
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    for (std::int32_t result = 100; read_request(socket, &stub, &header, &request); ++result) {
      if (header.call_id == 1) return;  // requests count from 2
      send_result(socket, 1, 1, result);
    }
  });
  ScopedBinding binding(server.string_binding());
  RPC_STATUS status;
  const std::uint8_t stub[2] = {0, 0};
  EXPECT_EQ(call(binding.get(), 0, stub, &status), (std::vector<std::uint8_t>{100, 0, 0, 0}));
  EXPECT_EQ(status, RPC_S_OK);
  EXPECT_EQ(call(binding.get(), 0, stub, &status), (std::vector<std::uint8_t>{101, 0, 0, 0}));
  EXPECT_EQ(status, RPC_S_OK);
  start(binding.get());
  std::int32_t reply = 0;
  EXPECT_EQ(async_outcome(&reply), RPC_S_OK);
  EXPECT_EQ(reply, 102);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ClientBoundsTest, ADuplicatedEarlierReplyIsNeverTakenForTheNextCallsAnswer) {
  // Answers the first call, then answers the second with the first's reply.
  ScriptedPeer server([](Socket& socket, int) {
    answer_bind(socket, 1, kDefaultMaxFragment, 1);
    std::vector<std::uint8_t> stub;
    CommonHeader header;
    Request request;
    std::uint32_t first_id = 0;
    while (read_request(socket, &stub, &header, &request)) {
      if (first_id == 0) first_id = header.call_id;
      send_result(socket, first_id, 1, 100);
    }
  });
  ScopedBinding binding(server.string_binding());
  EXPECT_EQ(call_status(binding.get()), RPC_S_OK);
  EXPECT_EQ(call_status(binding.get()), RPC_S_PROTOCOL_ERROR);
  EXPECT_EQ(Binding::from_handle(binding.get())->open_connections(), 0u);
}

// Pings: the reader exists after the first asynchronous call.
class ClientKeepaliveTest : public ClientBoundsTest {
 protected:
  void SetUp() override {
    ClientBoundsTest::SetUp();
    set_test_bound("rpc.reply", 1000);
    set_test_bound("rpc.keepalive", 200);
  }

  // Answers requests with 100; pings as `answer_pings` says. Records what
  // each ping offered and when a connection ends.
  ScriptedPeer::Script script(bool answer_pings) {
    return [this, answer_pings](Socket& socket, int) {
      answer_bind(socket, 1, kDefaultMaxFragment, 0x77);
      std::vector<std::uint8_t> stub;
      for (;;) {
        std::vector<std::uint8_t> pdu;
        CommonHeader header;
        if (!testing::read_pdu(socket, &pdu, &header)) break;
        if (header.type == PacketType::AlterContext) {
          Bind alter;
          EXPECT_TRUE(decode_bind(pdu, &alter).is_ok());
          {
            std::lock_guard guard(signals_.lock());
            offers_.push_back(alter);
          }
          if (answer_pings) answer_ping(socket, header, alter);
          signals_.raise(&pings_);
          continue;
        }
        Request request;
        ASSERT_TRUE(decode_request(pdu, &header, &request).is_ok());
        if (header.flags & pfc::kLastFrag) send_result(socket, header.call_id, 1, 100);
      }
      signals_.raise(&closed_);
    };
  }
  void run_async(RPC_BINDING_HANDLE binding) {
    start(binding);
    std::int32_t reply = 0;
    EXPECT_EQ(async_outcome(&reply), RPC_S_OK);
  }

  Signals signals_;
  int pings_ = 0;
  int closed_ = 0;
  std::vector<Bind> offers_;  // guarded by signals_.lock()
};

TEST_F(ClientKeepaliveTest, AnIdleConnectionIsPingedWithItsOwnContextAndStaysInUse) {
  ScriptedPeer server(script(true));
  ScopedBinding binding(server.string_binding());
  run_async(binding.get());
  ASSERT_TRUE(signals_.wait_for(&pings_, 2)) << "no pings";
  EXPECT_EQ(call_status(binding.get()), RPC_S_OK);
  run_async(binding.get());
  EXPECT_EQ(server.connections(), 1);
  EXPECT_EQ(Binding::from_handle(binding.get())->open_connections(), 1u);

  std::lock_guard guard(signals_.lock());
  for (const Bind& offer : offers_) {
    ASSERT_EQ(offer.contexts.size(), 1u);
    EXPECT_EQ(offer.contexts[0].context_id, 1);  // the one the bind accepted
    EXPECT_EQ(offer.contexts[0].abstract_syntax, replication_service_interface());
    EXPECT_EQ(offer.contexts[0].transfer_syntaxes, (std::vector<SyntaxId>{ndr64_syntax()}));
    EXPECT_EQ(offer.assoc_group_id, 0x77u);
  }
}

TEST_F(ClientKeepaliveTest, AnUnansweredPingClosesItsConnectionAndTheNextCallReconnects) {
  ScriptedPeer server(script(false));
  RPC_BINDING_HANDLE binding = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingW(server.string_binding().c_str(), &binding), RPC_S_OK);
  run_async(binding);
  ASSERT_TRUE(signals_.wait_for(&closed_, 1)) << "the silent connection stayed open";
  EXPECT_EQ(Binding::from_handle(binding)->open_connections(), 0u);
  EXPECT_EQ(call_status(binding), RPC_S_OK);
  EXPECT_EQ(server.connections(), 2);
  // Freeing the binding while the new connection's ping is out closes it.
  ASSERT_TRUE(signals_.wait_for(&pings_, 2));
  ASSERT_EQ(RpcBindingFree(&binding), RPC_S_OK);
  EXPECT_TRUE(signals_.wait_for(&closed_, 2));
}

}  // namespace
}  // namespace rpc
