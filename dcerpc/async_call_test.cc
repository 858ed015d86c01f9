// The asynchronous call state without a server: initialisation, and what
// RpcAsyncCompleteCall says about states that carry no call.
#include "dcerpc/async_call.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/fault_injection.h"
#include "dcerpc/rpc.h"

namespace {

RPC_STATUS no_decode(std::span<const std::uint8_t>, rpc::Syntax, void*) { return RPC_S_OK; }

class AsyncStateTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&state_, 0xA5, sizeof(state_)); }
  void TearDown() override { clear_injected_failures(); }
  RPC_ASYNC_STATE state_;
};

TEST_F(AsyncStateTest, InitializeSetsRuntimeFieldsAndLeavesCallerFields) {
  state_.Event = RpcSendComplete;
  state_.NotificationType = RpcNotificationTypeIoc;
  state_.UserInfo = &state_;
  state_.u.IOC.hIOPort = reinterpret_cast<HANDLE>(0x1234);
  state_.u.IOC.dwCompletionKey = 4;

  ASSERT_EQ(RpcAsyncInitializeHandle(&state_, sizeof(RPC_ASYNC_STATE)), RPC_S_OK);
  EXPECT_EQ(state_.Size, 112u);
  EXPECT_EQ(state_.Signature, 0x43595341u);
  EXPECT_EQ(state_.Lock, 0);
  EXPECT_EQ(state_.Flags, 0u);
  EXPECT_EQ(state_.StubInfo, nullptr);
  EXPECT_EQ(state_.RuntimeInfo, nullptr);
  for (LONG_PTR reserved : state_.Reserved) EXPECT_EQ(reserved, 0);
  EXPECT_EQ(state_.Event, RpcSendComplete);
  EXPECT_EQ(state_.NotificationType, RpcNotificationTypeIoc);
  EXPECT_EQ(state_.UserInfo, &state_);
  EXPECT_EQ(state_.u.IOC.hIOPort, reinterpret_cast<HANDLE>(0x1234));
  EXPECT_EQ(state_.u.IOC.dwCompletionKey, 4u);
}

TEST_F(AsyncStateTest, InitializeRejectsAnyOtherSizeAndChangesNothing) {
  RPC_ASYNC_STATE before = state_;
  for (unsigned size : {0u, 111u, 113u, 56u}) {
    SetLastError(0);
    EXPECT_EQ(RpcAsyncInitializeHandle(&state_, size), RPC_S_INVALID_ARG) << size;
    EXPECT_EQ(GetLastError(), 87u);
  }
  EXPECT_EQ(std::memcmp(&before, &state_, sizeof(state_)), 0);
  EXPECT_EQ(RpcAsyncInitializeHandle(nullptr, sizeof(RPC_ASYNC_STATE)), RPC_S_INVALID_ASYNC_HANDLE);
}

TEST_F(AsyncStateTest, InitializeCanBeMadeToFail) {
  inject_failure("RpcAsyncInitializeHandle", 1721);
  RPC_ASYNC_STATE before = state_;
  EXPECT_EQ(RpcAsyncInitializeHandle(&state_, sizeof(RPC_ASYNC_STATE)), 1721);
  EXPECT_EQ(std::memcmp(&before, &state_, sizeof(state_)), 0);
}

TEST_F(AsyncStateTest, CompletingAStateWithoutACallIsInvalidAsyncHandle) {
  std::int32_t reply = 7;
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_INVALID_ASYNC_HANDLE);  // garbage
  ASSERT_EQ(RpcAsyncInitializeHandle(&state_, sizeof(RPC_ASYNC_STATE)), RPC_S_OK);
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_INVALID_ASYNC_HANDLE);
  EXPECT_EQ(RpcAsyncCompleteCall(nullptr, &reply), RPC_S_INVALID_ASYNC_HANDLE);
  EXPECT_EQ(reply, 7);
}

TEST_F(AsyncStateTest, ARecordIsFreedByTheFinalCompleteAndNeverTwice) {
  ASSERT_EQ(RpcAsyncInitializeHandle(&state_, sizeof(RPC_ASYNC_STATE)), RPC_S_OK);
  state_.NotificationType = RpcNotificationTypeNone;
  RPC_STATUS status = RPC_S_OK;
  const int before = rpc::async_calls_in_use();
  rpc::AsyncCall* call = rpc::claim_async_call(&state_, rpc::Syntax::Ndr64, &no_decode, &status);
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(rpc::async_calls_in_use(), before + 1);

  // A state carries one call at a time.
  EXPECT_EQ(rpc::claim_async_call(&state_, rpc::Syntax::Ndr64, &no_decode, &status), nullptr);
  EXPECT_EQ(status, RPC_S_CALL_IN_PROGRESS);

  std::int32_t reply = 0;
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_ASYNC_CALL_PENDING);
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_ASYNC_CALL_PENDING);
  rpc::complete_async_call(call, RPC_S_CALL_FAILED);
  EXPECT_EQ(state_.Event, RpcCallComplete);
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_CALL_FAILED);
  EXPECT_EQ(state_.RuntimeInfo, nullptr);
  EXPECT_EQ(rpc::async_calls_in_use(), before);
  EXPECT_EQ(RpcAsyncCompleteCall(&state_, &reply), RPC_S_INVALID_ASYNC_HANDLE);
}

TEST_F(AsyncStateTest, TheTableBoundsCallsAndRejectsUnsupportedNotifications) {
  RPC_ASYNC_STATE states[rpc::kMaxAsyncCalls + 1];
  rpc::AsyncCall* calls[rpc::kMaxAsyncCalls] = {};
  RPC_STATUS status = RPC_S_OK;
  for (auto& s : states) {
    ASSERT_EQ(RpcAsyncInitializeHandle(&s, sizeof(RPC_ASYNC_STATE)), RPC_S_OK);
    s.NotificationType = RpcNotificationTypeNone;
  }
  for (int i = 0; i < rpc::kMaxAsyncCalls; ++i) {
    calls[i] = rpc::claim_async_call(&states[i], rpc::Syntax::Ndr20, &no_decode, &status);
    ASSERT_NE(calls[i], nullptr) << i;
  }
  EXPECT_EQ(
      rpc::claim_async_call(&states[rpc::kMaxAsyncCalls], rpc::Syntax::Ndr20, &no_decode, &status),
      nullptr);
  EXPECT_EQ(status, RPC_S_OUT_OF_RESOURCES);
  for (rpc::AsyncCall* call : calls) rpc::abandon_async_call(call);
  EXPECT_EQ(rpc::async_calls_in_use(), 0);

  states[0].NotificationType = RpcNotificationTypeEvent;
  EXPECT_EQ(rpc::claim_async_call(&states[0], rpc::Syntax::Ndr20, &no_decode, &status), nullptr);
  EXPECT_EQ(status, RPC_S_CANNOT_SUPPORT);
}

}  // namespace
