// The RPC connection's set-up, call preparation and release, with the exact
// report lines each failure leaves in the log.
#include "rpc/rpc_connection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "records/records.h"
#include "testing/log_reader.h"

namespace {

const auto* const kWorkingDirectory =
    ::testing::AddGlobalTestEnvironment(new trv_testing::TemporaryWorkingDirectory);

std::vector<std::wstring> error_messages() {
  return trv_testing::messages(trv_testing::file_lines(trv_testing::read_bytes("TRV.log")),
                               L"ERROR");
}

class RpcConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { errors_before_ = error_messages().size(); }
  void TearDown() override {
    clear_injected_failures();
    release_rpc_connection();
    EXPECT_EQ(rpc_connection, nullptr);
    EXPECT_EQ(replication_service_binding, nullptr);
    EXPECT_EQ(rpc_heap, nullptr);
  }
  // The error lines logged since the test began.
  std::vector<std::wstring> new_errors() {
    std::vector<std::wstring> all = error_messages();
    return std::vector<std::wstring>(all.begin() + static_cast<std::ptrdiff_t>(errors_before_),
                                     all.end());
  }
  std::size_t errors_before_ = 0;
};

TEST_F(RpcConnectionTest, SetUpComposesBindsAndCreatesTheHeapWithoutContactingTheServer) {
  // Nothing listens on port 5000 of this address; the set-up must not care.
  const wchar_t* addr = L"127.0.0.1";
  const wchar_t* port = L"5000";
  ASSERT_TRUE(set_up_rpc_connection(addr, port));
  ASSERT_NE(rpc_connection, nullptr);
  EXPECT_EQ(rpc_connection->server_addr, addr);
  EXPECT_EQ(rpc_connection->server_port, port);
  EXPECT_STREQ(rpc_connection->string_binding, L"ncacn_ip_tcp:127.0.0.1[5000]");
  EXPECT_EQ(rpc_connection->binding_handle, &replication_service_binding);
  EXPECT_NE(replication_service_binding, nullptr);
  EXPECT_NE(rpc_heap, nullptr);
  EXPECT_TRUE(new_errors().empty());

  release_rpc_connection();
  EXPECT_TRUE(new_errors().empty());
}

TEST_F(RpcConnectionTest, AddressAndPortTextsAreNotValidatedByTheClient) {
  // Text the runtime takes apart differently is the runtime's to refuse.
  ASSERT_FALSE(set_up_rpc_connection(L"host", L"not-a-port"));
  EXPECT_EQ(new_errors(),
            std::vector<std::wstring>{L"RpcBindingFromStringBinding failed, error code: 1706"});
  ASSERT_NE(rpc_connection, nullptr);
  EXPECT_STREQ(rpc_connection->string_binding, L"ncacn_ip_tcp:host[not-a-port]");
}

TEST_F(RpcConnectionTest, ComposeFailureIsReportedAndTheReleaseStillFreesTheBinding) {
  inject_failure("RpcStringBindingComposeW", 14);
  EXPECT_FALSE(set_up_rpc_connection(L"127.0.0.1", L"5000"));
  ASSERT_NE(rpc_connection, nullptr);  // published before the failing call
  EXPECT_EQ(rpc_connection->string_binding, nullptr);
  EXPECT_EQ(new_errors(),
            std::vector<std::wstring>{L"RpcStringBindingCompose failed, error code: 14"});

  // No string to free; the never-made binding is freed all the same and its
  // failure reported.
  release_rpc_connection();
  EXPECT_EQ(new_errors(), (std::vector<std::wstring>{
                              L"RpcStringBindingCompose failed, error code: 14",
                              L"RpcBindingFree failed, error code: 1702",
                          }));
}

TEST_F(RpcConnectionTest, BindingFailureIsReported) {
  inject_failure("RpcBindingFromStringBindingW", 1704);
  EXPECT_FALSE(set_up_rpc_connection(L"127.0.0.1", L"5000"));
  EXPECT_EQ(new_errors(),
            std::vector<std::wstring>{L"RpcBindingFromStringBinding failed, error code: 1704"});
  EXPECT_NE(rpc_connection->string_binding, nullptr);
}

TEST_F(RpcConnectionTest, HeapFailureIsReported) {
  inject_failure("HeapCreate", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(set_up_rpc_connection(L"127.0.0.1", L"5000"));
  EXPECT_EQ(new_errors(), std::vector<std::wstring>{L"Allocate rpc heap failed, error code: 8"});
  EXPECT_EQ(rpc_heap, nullptr);
}

TEST_F(RpcConnectionTest, ReleaseReportsFreeFailuresAndGoesOn) {
  ASSERT_TRUE(set_up_rpc_connection(L"127.0.0.1", L"5000"));
  RPC_WSTR string_binding = rpc_connection->string_binding;
  inject_failure("RpcStringFreeW", 1702);
  inject_failure("RpcBindingFree", 6);
  release_rpc_connection();
  EXPECT_EQ(new_errors(), (std::vector<std::wstring>{
                              L"RpcStringFree failed, error code: 1702",
                              L"RpcBindingFree failed, error code: 6",
                          }));
  EXPECT_EQ(rpc_connection, nullptr);
  // What failed to free is still there; free it for the next test.
  EXPECT_EQ(RpcBindingFree(&replication_service_binding), RPC_S_OK);
  EXPECT_EQ(RpcStringFreeW(&string_binding), RPC_S_OK);
}

TEST_F(RpcConnectionTest, ReleaseWithoutARecordDoesNothing) {
  release_rpc_connection();
  EXPECT_TRUE(new_errors().empty());
}

class PrepareAsyncCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_port_ = CompletionPort;
    CompletionPort = reinterpret_cast<HANDLE>(0xC0DE);
    std::memset(&state_, 0, sizeof(state_));
    context_.async_state = &state_;
    context_.stage = Reading;
  }
  void TearDown() override {
    CompletionPort = previous_port_;
    clear_injected_failures();
  }
  HANDLE previous_port_ = nullptr;
  RPC_ASYNC_STATE state_;
  ChunkContext context_{};
};

TEST_F(PrepareAsyncCallTest, AFailedInitialisationChangesNothing) {
  inject_failure("RpcAsyncInitializeHandle", 1721);
  RPC_ASYNC_STATE before = state_;
  EXPECT_EQ(prepare_async_call(&context_, Replicating), 1721);
  EXPECT_EQ(context_.stage, Reading);
  EXPECT_EQ(std::memcmp(&before, &state_, sizeof(state_)), 0);
}

}  // namespace
