// The client call operations over the RPC connection against the in-process
// ReplicationServer on loopback, with a scripted handler that records what
// arrives: the exact bytes of every parameter in both transfer syntaxes, the
// asynchronous completions on the completion port, and the exception texts
// on standard error.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dcerpc/async_call.h"
#include "dcerpc/client.h"
#include "platform/fault_injection.h"
#include "records/records.h"
#include "rpc/replication_service.h"
#include "rpc/rpc_connection.h"
#include "service/interface.h"
#include "service/server_result.h"
#include "service/service_ndr.h"
#include "service/service_server.h"
#include "testing/log_reader.h"

namespace {

const auto* const kWorkingDirectory =
    ::testing::AddGlobalTestEnvironment(new trv_testing::TemporaryWorkingDirectory);

enum class Procedure { OpenDevice, Replicate, Compare, CloseDevice };

struct SeenCall {
  SeenCall(Procedure procedure, std::uint32_t group, std::int16_t dest, std::int64_t offset = 0)
      : procedure(procedure), group(group), dest(dest), offset(offset) {}
  Procedure procedure;
  std::uint32_t group;
  std::int16_t dest;
  std::int64_t offset;
  std::vector<std::uint8_t> digest;
  std::vector<std::uint8_t> data;
  std::int32_t data_length = 0;
};

// Records every call and answers it through `answer` (the procedure's success
// code by default). `gate` holds replicate and compare until opened.
class ScriptedHandler : public ReplicationHandler {
 public:
  std::function<std::optional<std::int32_t>(const SeenCall&)> answer;

  std::optional<std::int32_t> open_device(const Caller& caller, std::int16_t dest) override {
    return record(SeenCall(Procedure::OpenDevice, caller.group, dest));
  }
  std::optional<std::int32_t> close_device(const Caller& caller, std::int16_t dest) override {
    return record(SeenCall(Procedure::CloseDevice, caller.group, dest));
  }
  std::optional<std::int32_t> replicate(const Caller& caller,
                                        const ReplicateRequest& args) override {
    SeenCall call{Procedure::Replicate, caller.group, args.dest, args.offset};
    call.digest.assign(args.digest.begin(), args.digest.end());
    call.data.assign(args.data.begin(), args.data.end());
    call.data_length = static_cast<std::int32_t>(args.data.size());
    return gated(std::move(call));
  }
  std::optional<std::int32_t> compare(const Caller& caller, const CompareRequest& args) override {
    SeenCall call{Procedure::Compare, caller.group, args.dest, args.offset};
    call.digest.assign(args.digest.begin(), args.digest.end());
    call.data_length = args.data_length;
    return gated(std::move(call));
  }
  void group_ended(std::uint32_t) override {}

  // Holds replicate and compare calls until open_gate(); also lets a test
  // wait until `count` of them are held.
  void close_gate() {
    std::lock_guard guard(lock_);
    gate_open_ = false;
  }
  void open_gate() {
    std::lock_guard guard(lock_);
    gate_open_ = true;
    changed_.notify_all();
  }
  void wait_for_held(int count) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return held_ >= count; });
  }

  std::vector<SeenCall> calls() {
    std::lock_guard guard(lock_);
    return calls_;
  }

 private:
  static std::int32_t success(Procedure procedure) {
    switch (procedure) {
      case Procedure::OpenDevice:
        return Opened;
      case Procedure::Replicate:
        return Replicated;
      case Procedure::Compare:
        return Identical;
      case Procedure::CloseDevice:
        return Closed;
    }
    return -1;
  }
  std::optional<std::int32_t> record(SeenCall call) {
    std::optional<std::int32_t> result = answer ? answer(call) : success(call.procedure);
    std::lock_guard guard(lock_);
    calls_.push_back(std::move(call));
    return result;
  }
  std::optional<std::int32_t> gated(SeenCall call) {
    {
      std::unique_lock guard(lock_);
      ++held_;
      changed_.notify_all();
      changed_.wait(guard, [&] { return gate_open_; });
      --held_;
    }
    return record(std::move(call));
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<SeenCall> calls_;  // guarded by lock_
  bool gate_open_ = true;        // guarded by lock_
  int held_ = 0;                 // guarded by lock_
};

// One chunk context with its own buffers, as the driver makes them.
struct TestChunk {
  explicit TestChunk(std::int32_t dest, std::uint64_t offset, std::uint8_t seed)
      : digest(kDigestLength), data(kChunkLength) {
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(seed + i);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 11) ^ seed);
    }
    std::memset(&state, 0, sizeof(state));
    context.dest_disk_index = dest;
    context.offset = offset;
    context.digest_length = kDigestLength;
    context.digest = digest.data();
    context.data_length = kChunkLength;
    context.data = data.data();
    context.async_state = &state;
  }
  std::vector<std::uint8_t> digest;
  std::vector<std::uint8_t> data;
  RPC_ASYNC_STATE state;
  ChunkContext context{};
};

// The port and the connection, as the driver sets them up.
class ClientEnvironment : public ::testing::Test {
 protected:
  void set_up_client(const std::wstring& port) {
    CompletionPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(CompletionPort, nullptr);
    port_text_ = port;
    ASSERT_TRUE(set_up_rpc_connection(L"127.0.0.1", port_text_.c_str()));
  }
  void TearDown() override {
    release_rpc_connection();
    if (CompletionPort != nullptr) CloseHandle(CompletionPort);
    CompletionPort = nullptr;
    EXPECT_EQ(rpc::async_calls_in_use(), 0);
  }

  // Waits for the next packet; returns the context it names.
  ChunkContext* next_completion(ULONG_PTR* key) {
    DWORD bytes = 0;
    OVERLAPPED* overlapped = nullptr;
    EXPECT_TRUE(GetQueuedCompletionStatus(CompletionPort, &bytes, key, &overlapped, INFINITE));
    return overlapped == nullptr ? nullptr : context_from_overlapped(overlapped);
  }
  bool port_is_empty() {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    return !GetQueuedCompletionStatus(CompletionPort, &bytes, &key, &overlapped, 0) &&
           overlapped == nullptr;
  }
  // Prepares and issues one asynchronous call, waits for its packet and
  // collects the result.
  RPC_STATUS run_call(TestChunk& chunk, ChunkStage stage, std::int32_t* reply) {
    EXPECT_EQ(prepare_async_call(&chunk.context, stage), RPC_S_OK);
    chunk.context.stage = stage;  // as the chunk worker does
    const bool issued =
        stage == Comparing ? invoke_compare(&chunk.context) : invoke_replicate(&chunk.context);
    EXPECT_TRUE(issued);
    if (!issued) return -1;
    ULONG_PTR key = 0;
    EXPECT_EQ(next_completion(&key), &chunk.context);
    EXPECT_EQ(key, static_cast<ULONG_PTR>(stage));
    EXPECT_EQ(chunk.context.stage, stage);
    return RpcAsyncCompleteCall(chunk.context.async_state, reply);
  }

  std::wstring port_text_;
};

class ClientServerTest : public ClientEnvironment, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    rpc::ServerOptions options;
    options.accept_ndr64 = GetParam();
    server_ = std::make_unique<ReplicationServer>(options);
    rpc::Status s = server_->start(handler_);
    ASSERT_TRUE(s.is_ok()) << s.to_string();
    set_up_client(std::to_wstring(server_->port()));
  }
  void TearDown() override {
    handler_.open_gate();
    ClientEnvironment::TearDown();
    server_->stop();
  }

  ScriptedHandler handler_;
  std::unique_ptr<ReplicationServer> server_;
};

TEST_P(ClientServerTest, OpenCompareReplicateCloseCarryTheExactParameters) {
  ASSERT_TRUE(invoke_open_device(3));

  TestChunk chunk(3, 5ull << 20, 0x40);
  handler_.answer = [](const SeenCall& call) -> std::optional<std::int32_t> {
    return call.procedure == Procedure::Compare ? Differs : Replicated;
  };
  std::int32_t reply = 0;
  ASSERT_EQ(run_call(chunk, Comparing, &reply), RPC_S_OK);
  EXPECT_EQ(reply, Differs);
  ASSERT_EQ(run_call(chunk, Replicating, &reply), RPC_S_OK);
  EXPECT_EQ(reply, Replicated);
  handler_.answer = nullptr;
  ASSERT_TRUE(invoke_close_device(3));
  EXPECT_TRUE(port_is_empty());

  std::vector<SeenCall> calls = handler_.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].procedure, Procedure::OpenDevice);
  EXPECT_EQ(calls[0].dest, 3);
  EXPECT_EQ(calls[1].procedure, Procedure::Compare);
  EXPECT_EQ(calls[1].dest, 3);
  EXPECT_EQ(calls[1].offset, 5 << 20);
  EXPECT_EQ(calls[1].digest, chunk.digest);
  EXPECT_EQ(calls[1].data_length, 1048576);
  EXPECT_EQ(calls[2].procedure, Procedure::Replicate);
  EXPECT_EQ(calls[2].dest, 3);
  EXPECT_EQ(calls[2].offset, 5 << 20);
  EXPECT_EQ(calls[2].digest, chunk.digest);
  EXPECT_TRUE(calls[2].data == chunk.data) << "replicated bytes differ";
  EXPECT_EQ(calls[3].procedure, Procedure::CloseDevice);
  EXPECT_EQ(calls[3].dest, 3);
  // One association: the device opened in a group is written in that group.
  for (const SeenCall& call : calls) EXPECT_EQ(call.group, calls[0].group);

  rpc::ServerStats stats = server_->stats();
  EXPECT_GT(GetParam() ? stats.binds_ndr64 : stats.binds_ndr20, 0u);
  EXPECT_EQ(GetParam() ? stats.binds_ndr20 : stats.binds_ndr64, 0u);
}

TEST_P(ClientServerTest, TheDiskNumberTravelsAsItsLow16Bits) {
  for (std::int32_t dest : {65537, 32768, -1, 70000}) EXPECT_TRUE(invoke_open_device(dest));
  TestChunk chunk(65537, 0, 1);
  std::int32_t reply = 0;
  ASSERT_EQ(run_call(chunk, Replicating, &reply), RPC_S_OK);
  std::vector<SeenCall> calls = handler_.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].dest, 1);
  EXPECT_EQ(calls[1].dest, -32768);
  EXPECT_EQ(calls[2].dest, -1);
  EXPECT_EQ(calls[3].dest, 4464);
  EXPECT_EQ(calls[4].dest, 1);
}

TEST_P(ClientServerTest, AnyOtherResultIsFalseWithoutAnExceptionMessage) {
  handler_.answer = [](const SeenCall& call) -> std::optional<std::int32_t> {
    return call.procedure == Procedure::OpenDevice ? Closed : Opened;
  };
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(invoke_open_device(1));
  EXPECT_FALSE(invoke_close_device(1));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  // A wrong code from an asynchronous procedure is the caller's to judge.
  handler_.answer = [](const SeenCall&) -> std::optional<std::int32_t> { return -7; };
  TestChunk chunk(1, 0, 2);
  std::int32_t reply = 0;
  ASSERT_EQ(run_call(chunk, Comparing, &reply), RPC_S_OK);
  EXPECT_EQ(reply, -7);
}

TEST_P(ClientServerTest, SixteenCallsInFlightEachCompleteExactlyOnce) {
  constexpr int kCalls = 16;
  std::vector<std::unique_ptr<TestChunk>> chunks;
  for (int i = 0; i < kCalls; ++i) {
    chunks.push_back(
        std::make_unique<TestChunk>(2, std::uint64_t(i) << 20, static_cast<std::uint8_t>(i)));
  }
  ASSERT_TRUE(invoke_open_device(2));
  // The server holds every call until all sixteen have arrived: they must be
  // in flight at once, and the workers that issued them free meanwhile.
  handler_.close_gate();
  std::vector<std::thread> workers;
  std::atomic<int> issued{0};
  for (int i = 0; i < kCalls; ++i) {
    workers.emplace_back([&, i] {
      TestChunk& chunk = *chunks[i];
      ChunkStage stage = i % 2 == 0 ? Replicating : Comparing;
      if (prepare_async_call(&chunk.context, stage) != RPC_S_OK) return;
      chunk.context.stage = stage;  // as the chunk worker does
      if (stage == Replicating ? invoke_replicate(&chunk.context)
                               : invoke_compare(&chunk.context)) {
        ++issued;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  ASSERT_EQ(issued.load(), kCalls);
  handler_.wait_for_held(kCalls);
  handler_.open_gate();

  std::set<ChunkContext*> completed;
  for (int i = 0; i < kCalls; ++i) {
    ULONG_PTR key = 0;
    ChunkContext* context = next_completion(&key);
    ASSERT_NE(context, nullptr);
    EXPECT_TRUE(completed.insert(context).second) << "a second packet for one call";
    EXPECT_EQ(key, static_cast<ULONG_PTR>(context->stage));
    std::int32_t reply = 0;
    EXPECT_EQ(RpcAsyncCompleteCall(context->async_state, &reply), RPC_S_OK);
    EXPECT_EQ(reply, context->stage == Replicating ? Replicated : Identical);
  }
  EXPECT_TRUE(port_is_empty());

  std::vector<SeenCall> calls = handler_.calls();
  ASSERT_EQ(calls.size(), std::size_t{kCalls + 1});
  for (const SeenCall& call : calls) {
    EXPECT_EQ(call.group, calls[0].group);
    if (call.procedure != Procedure::Replicate) continue;
    const TestChunk& chunk = *chunks[call.offset >> 20];
    EXPECT_TRUE(call.data == chunk.data) << "chunk at " << call.offset;
    EXPECT_EQ(call.digest, chunk.digest);
  }
}

TEST_P(ClientServerTest, PendingWhileTheServerWorksThenTheResult) {
  handler_.close_gate();
  TestChunk chunk(1, 0, 3);
  ASSERT_EQ(prepare_async_call(&chunk.context, Comparing), RPC_S_OK);
  ASSERT_TRUE(invoke_compare(&chunk.context));
  handler_.wait_for_held(1);
  std::int32_t reply = 0;
  EXPECT_EQ(RpcAsyncCompleteCall(&chunk.state, &reply), RPC_S_ASYNC_CALL_PENDING);
  EXPECT_TRUE(port_is_empty());
  handler_.open_gate();
  ULONG_PTR key = 0;
  EXPECT_EQ(next_completion(&key), &chunk.context);
  EXPECT_EQ(RpcAsyncCompleteCall(&chunk.state, &reply), RPC_S_OK);
  EXPECT_EQ(reply, Identical);
}

TEST_P(ClientServerTest, AServerThatDropsTheCallFailsItThroughTheCompletion) {
  handler_.answer = [](const SeenCall& call) -> std::optional<std::int32_t> {
    if (call.procedure == Procedure::Replicate) return std::nullopt;
    return Opened;
  };
  ASSERT_TRUE(invoke_open_device(1));
  TestChunk chunk(1, 0, 4);
  std::int32_t reply = 12345;
  EXPECT_EQ(run_call(chunk, Replicating, &reply), RPC_S_CALL_FAILED);
  EXPECT_EQ(reply, 12345);
}

TEST_P(ClientServerTest, AnUnknownProcedureIsProcnumOutOfRange) {
  try {
    rpc::CallChannel channel(replication_service_binding, replication_service_offer());
    const std::uint8_t stub[2] = {1, 0};
    const rpc::ConstBuffer piece{stub, sizeof(stub)};
    channel.call(7, std::span(&piece, 1));
    ADD_FAILURE() << "no exception";
  } catch (const rpc::RpcException& exception) {
    EXPECT_EQ(exception.code, RPC_S_PROCNUM_OUT_OF_RANGE);
  }
  EXPECT_TRUE(invoke_open_device(1));  // the connection survives the fault
}

TEST_P(ClientServerTest, ADigestTooLongForTheRequestHeadIsRefusedUnsent) {
  TestChunk chunk(1, 0, 8);
  chunk.digest.resize(200);
  chunk.context.digest = chunk.digest.data();
  chunk.context.digest_length = static_cast<std::uint32_t>(chunk.digest.size());
  ASSERT_EQ(prepare_async_call(&chunk.context, Replicating), RPC_S_OK);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(invoke_replicate(&chunk.context));
  EXPECT_FALSE(invoke_compare(&chunk.context));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Invoke rpc method replicate failed, exception code: 1783"
            "Invoke rpc method compare failed, exception code: 1783");
  EXPECT_TRUE(port_is_empty());
  EXPECT_TRUE(handler_.calls().empty());
  EXPECT_TRUE(invoke_open_device(1));  // the connection is still good
}

INSTANTIATE_TEST_SUITE_P(Syntaxes, ClientServerTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Ndr64" : "Ndr20Only";
                         });

// --- without a server ----------------------------------------------------

class NoServerTest : public ClientEnvironment {};

TEST_F(NoServerTest, EveryOperationWritesItsExceptionTextWithTheStatus) {
  std::uint16_t port;
  {
    rpc::Listener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).is_ok());
    port = listener.port();
  }  // closed: connections are refused
  set_up_client(std::to_wstring(port));
  TestChunk chunk(1, 0, 5);

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(invoke_open_device(1));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Invoke rpc method open_device failed, exception code: 1722");

  ASSERT_EQ(prepare_async_call(&chunk.context, Comparing), RPC_S_OK);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(invoke_compare(&chunk.context));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Invoke rpc method compare failed, exception code: 1722");

  ASSERT_EQ(prepare_async_call(&chunk.context, Replicating), RPC_S_OK);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(invoke_replicate(&chunk.context));
  EXPECT_FALSE(invoke_close_device(1));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Invoke rpc method replicate failed, exception code: 1722"
            "Invoke rpc method close_device failed, exception code: 1722");

  // A call that never got under way posts nothing and holds nothing.
  EXPECT_TRUE(port_is_empty());
  std::int32_t reply = 0;
  EXPECT_EQ(RpcAsyncCompleteCall(&chunk.state, &reply), RPC_S_INVALID_ASYNC_HANDLE);
}

TEST_F(NoServerTest, WithoutABindingTheCallsFailWithInvalidBinding) {
  TestChunk chunk(1, 0, 6);
  ASSERT_EQ(RpcAsyncInitializeHandle(&chunk.state, sizeof(RPC_ASYNC_STATE)), RPC_S_OK);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(invoke_open_device(1));
  EXPECT_FALSE(invoke_replicate(&chunk.context));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Invoke rpc method open_device failed, exception code: 1702"
            "Invoke rpc method replicate failed, exception code: 1702");
}

TEST_F(NoServerTest, TheStubEntryPointsCanBeMadeToRaise) {
  TestChunk chunk(1, 0, 7);
  ASSERT_EQ(RpcAsyncInitializeHandle(&chunk.state, sizeof(RPC_ASYNC_STATE)), RPC_S_OK);
  inject_failure("NdrClientCall3", 1726);
  inject_failure("Ndr64AsyncClientCall", 14);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(invoke_close_device(1));
  EXPECT_FALSE(invoke_compare(&chunk.context));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Invoke rpc method close_device failed, exception code: 1726"
            "Invoke rpc method compare failed, exception code: 14");
  clear_injected_failures();
}

// Servers set up by the test itself: on an IPv6 literal, whose colons the
// string binding escapes, or granting the smallest fragments.
class OwnServerTest : public ClientEnvironment {
 protected:
  void serve(const std::string& address) {
    rpc::ServerOptions options;
    options.address = address;
    server_ = std::make_unique<ReplicationServer>(options);
    started_ = server_->start(handler_).is_ok();
  }
  void TearDown() override {
    ClientEnvironment::TearDown();
    if (server_ != nullptr) server_->stop();
  }
  ScriptedHandler handler_;
  std::unique_ptr<ReplicationServer> server_;
  bool started_ = false;
};

TEST_F(OwnServerTest, Ipv6Literal) {
  serve("::1");
  if (!started_) GTEST_SKIP() << "no IPv6 loopback here";
  CompletionPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  port_text_ = std::to_wstring(server_->port());
  ASSERT_TRUE(set_up_rpc_connection(L"::1", port_text_.c_str()));
  EXPECT_EQ(std::wstring(rpc_connection->string_binding),
            L"ncacn_ip_tcp:\\:\\:1[" + port_text_ + L"]");
  EXPECT_TRUE(invoke_open_device(4));
  TestChunk chunk(4, 1 << 20, 8);
  std::int32_t reply = 0;
  EXPECT_EQ(run_call(chunk, Replicating, &reply), RPC_S_OK);
  EXPECT_EQ(reply, Replicated);
}

TEST_F(OwnServerTest, HostName) {
  serve("127.0.0.1");
  ASSERT_TRUE(started_);
  CompletionPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  port_text_ = std::to_wstring(server_->port());
  ASSERT_TRUE(set_up_rpc_connection(L"localhost", port_text_.c_str()));
  EXPECT_TRUE(invoke_open_device(4));
  EXPECT_TRUE(invoke_close_device(4));
}

TEST_F(OwnServerTest, AServerGrantingTheSmallestFragmentsGetsTheChunkWhole) {
  rpc::ServerOptions options;
  options.limits.max_fragment = 1432;
  server_ = std::make_unique<ReplicationServer>(options);
  ASSERT_TRUE(server_->start(handler_).is_ok());
  CompletionPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  port_text_ = std::to_wstring(server_->port());
  ASSERT_TRUE(set_up_rpc_connection(L"127.0.0.1", port_text_.c_str()));
  TestChunk chunk(9, 3 << 20, 9);
  std::int32_t reply = 0;
  ASSERT_EQ(run_call(chunk, Replicating, &reply), RPC_S_OK);
  EXPECT_EQ(reply, Replicated);
  std::vector<SeenCall> calls = handler_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].offset, 3 << 20);
  EXPECT_TRUE(calls[0].data == chunk.data);
}

}  // namespace
