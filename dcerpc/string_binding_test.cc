// String bindings and binding handles: what Windows callers rely on for
// composed texts, parse results and the status numbers of bad input.
#include "dcerpc/string_binding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fault_injection.h"
#include "dcerpc/rpc.h"

namespace {

std::wstring compose(const wchar_t* uuid, const wchar_t* protseq, const wchar_t* addr,
                     const wchar_t* endpoint, const wchar_t* options) {
  RPC_WSTR text = nullptr;
  EXPECT_EQ(RpcStringBindingComposeW(uuid, protseq, addr, endpoint, options, &text), RPC_S_OK);
  std::wstring result = text == nullptr ? L"<null>" : text;
  EXPECT_EQ(RpcStringFreeW(&text), RPC_S_OK);
  EXPECT_EQ(text, nullptr);
  return result;
}

struct Parsed {
  RPC_STATUS status;
  std::wstring uuid, protseq, addr, endpoint, options;
};

Parsed parse(const wchar_t* text) {
  RPC_WSTR parts[5] = {};
  Parsed out;
  out.status = RpcStringBindingParseW(text, &parts[0], &parts[1], &parts[2], &parts[3], &parts[4]);
  std::wstring* fields[5] = {&out.uuid, &out.protseq, &out.addr, &out.endpoint, &out.options};
  for (int i = 0; i < 5; ++i) {
    if (out.status != RPC_S_OK) {
      EXPECT_EQ(parts[i], nullptr) << "output " << i << " left set after a failure";
      continue;
    }
    EXPECT_NE(parts[i], nullptr);
    if (parts[i] != nullptr) *fields[i] = parts[i];
    EXPECT_EQ(RpcStringFreeW(&parts[i]), RPC_S_OK);
  }
  return out;
}

class StringBindingTest : public ::testing::Test {
 protected:
  void TearDown() override { clear_injected_failures(); }
};

TEST_F(StringBindingTest, ComposesProtseqAddressAndBracketedEndpoint) {
  EXPECT_EQ(compose(nullptr, L"ncacn_ip_tcp", L"10.0.0.5", L"5000", nullptr),
            L"ncacn_ip_tcp:10.0.0.5[5000]");
  EXPECT_EQ(compose(L"", L"ncacn_ip_tcp", L"host", L"", L""), L"ncacn_ip_tcp:host");
  EXPECT_EQ(compose(nullptr, L"ncacn_ip_tcp", L"host", nullptr, L"timeout=5"),
            L"ncacn_ip_tcp:host[,timeout=5]");
  EXPECT_EQ(compose(L"12345678-1234-1234-1234-123456789abc", L"ncacn_ip_tcp", L"h", L"1", L"a=b"),
            L"12345678-1234-1234-1234-123456789abc@ncacn_ip_tcp:h[1,a=b]");
}

TEST_F(StringBindingTest, ComposeEscapesDelimitersAndParseRestoresThem) {
  // An IPv6 address carries colons; an odd endpoint carries every delimiter.
  std::wstring text = compose(nullptr, L"ncacn_ip_tcp", L"::1", L"a@b[c]d\\e", nullptr);
  EXPECT_EQ(text, L"ncacn_ip_tcp:\\:\\:1[a\\@b\\[c\\]d\\\\e]");
  Parsed p = parse(text.c_str());
  ASSERT_EQ(p.status, RPC_S_OK);
  EXPECT_EQ(p.protseq, L"ncacn_ip_tcp");
  EXPECT_EQ(p.addr, L"::1");
  EXPECT_EQ(p.endpoint, L"a@b[c]d\\e");
}

TEST_F(StringBindingTest, ComposeTakesAnyAddressTextUnvalidated) {
  EXPECT_EQ(compose(nullptr, L"ncacn_ip_tcp", L"not a host!", L"port?", nullptr),
            L"ncacn_ip_tcp:not a host![port?]");
}

TEST_F(StringBindingTest, ParseGivesEmptyStringsForAbsentComponents) {
  Parsed p = parse(L"ncacn_ip_tcp:127.0.0.1");
  ASSERT_EQ(p.status, RPC_S_OK);
  EXPECT_EQ(p.uuid, L"");
  EXPECT_EQ(p.addr, L"127.0.0.1");
  EXPECT_EQ(p.endpoint, L"");
  EXPECT_EQ(p.options, L"");
}

TEST_F(StringBindingTest, ParseReadsEndpointFormsAndOptions) {
  Parsed p = parse(L"ncacn_ip_tcp:h[endpoint=4747,a=1,b=2]");
  ASSERT_EQ(p.status, RPC_S_OK);
  EXPECT_EQ(p.endpoint, L"4747");
  EXPECT_EQ(p.options, L"a=1,b=2");

  p = parse(L"ab12cd34-0000-1111-2222-333344445555@ncacn_ip_tcp:h[99]");
  ASSERT_EQ(p.status, RPC_S_OK);
  EXPECT_EQ(p.uuid, L"ab12cd34-0000-1111-2222-333344445555");
  EXPECT_EQ(p.endpoint, L"99");

  // A backslash before an ordinary character is dropped.
  p = parse(L"ncacn_np:srv[\\pipe\\test]");
  ASSERT_EQ(p.status, RPC_S_OK);
  EXPECT_EQ(p.endpoint, L"pipetest");
}

TEST_F(StringBindingTest, ParseRejectsMalformedTextWithItsStatus) {
  EXPECT_EQ(parse(L"ncacn_ip_tcp:h[4747").status, RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(parse(L"ncacn_ip_tcp:h[4747]x").status, RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(parse(L"ncacn_ip_tcp:h[4747,4748]").status, RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(parse(L"ncacn_ip_tcp:h[4747,endpoint=1]").status, RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(parse(L"no colon here").status, RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(parse(L"ab12cd34-0000-1111-2222-333344445555@ncacn_ip_tcp").status,
            RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(parse(L"{ab12cd34-0000-1111-2222-333344445555}@ncacn_ip_tcp:h").status,
            RPC_S_INVALID_STRING_UUID);
  EXPECT_EQ(parse(L"ab12cd34-0000-1111-2222-33334444555g@ncacn_ip_tcp:h").status,
            RPC_S_INVALID_STRING_UUID);

  SetLastError(0);
  EXPECT_EQ(RpcStringBindingParseW(L"x", nullptr, nullptr, nullptr, nullptr, nullptr),
            RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_INVALID_STRING_BINDING));
}

TEST_F(StringBindingTest, StringFreeNullsAndRejectsNullPointer) {
  RPC_WSTR nothing = nullptr;
  EXPECT_EQ(RpcStringFreeW(&nothing), RPC_S_OK);
  EXPECT_EQ(RpcStringFreeW(nullptr), RPC_S_INVALID_ARG);
}

TEST_F(StringBindingTest, InjectedFailuresReturnTheArmedErrorAsStatusAndLastError) {
  inject_failure("RpcStringBindingComposeW", 14);
  RPC_WSTR text = nullptr;
  SetLastError(0);
  EXPECT_EQ(RpcStringBindingComposeW(nullptr, L"ncacn_ip_tcp", L"h", L"1", nullptr, &text), 14);
  EXPECT_EQ(GetLastError(), 14u);
  EXPECT_EQ(text, nullptr);

  inject_failure("RpcStringFreeW", 1702);
  ASSERT_EQ(RpcStringBindingComposeW(nullptr, L"ncacn_ip_tcp", L"h", L"1", nullptr, &text),
            RPC_S_OK);
  EXPECT_EQ(RpcStringFreeW(&text), 1702);
  EXPECT_NE(text, nullptr);  // nothing was freed
  EXPECT_EQ(RpcStringFreeW(&text), RPC_S_OK);
}

class BindingHandleTest : public StringBindingTest {
 protected:
  RPC_STATUS bind(const wchar_t* text) {
    RPC_BINDING_HANDLE handle = reinterpret_cast<RPC_BINDING_HANDLE>(0x1);
    SetLastError(0);
    RPC_STATUS status = RpcBindingFromStringBindingW(text, &handle);
    if (status == RPC_S_OK) {
      EXPECT_NE(handle, nullptr);
      EXPECT_EQ(RpcBindingFree(&handle), RPC_S_OK);
      EXPECT_EQ(handle, nullptr);
    } else {
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(status));
    }
    return status;
  }
};

TEST_F(BindingHandleTest, AcceptsTcpBindingsWithoutContactingTheServer) {
  // Nothing listens on these; binding must succeed all the same.
  EXPECT_EQ(bind(L"ncacn_ip_tcp:127.0.0.1[1]"), RPC_S_OK);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:\\:\\:1[65535]"), RPC_S_OK);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:no-such-host.invalid[4747]"), RPC_S_OK);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h[endpoint=4747,opt=1]"), RPC_S_OK);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h"), RPC_S_OK);
}

TEST_F(BindingHandleTest, ReportsBadInputWithWindowsStatusNumbers) {
  EXPECT_EQ(bind(L"ncacn_tcp_ip:h[1]"), RPC_S_INVALID_RPC_PROTSEQ);
  EXPECT_EQ(bind(L"\x00e9\x00e8:h[1]"), RPC_S_INVALID_RPC_PROTSEQ);
  EXPECT_EQ(bind(L"ncacn_np:h[\\pipe\\x]"), RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h[4747"), RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h[port]"), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h[65536]"), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h[0]"), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h[-1]"), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(RpcBindingFromStringBindingW(L"ncacn_ip_tcp:h[1]", nullptr), RPC_S_INVALID_ARG);
}

TEST_F(BindingHandleTest, FreeingNoBindingIsInvalidBindingAndSetsLastError) {
  RPC_BINDING_HANDLE handle = nullptr;
  SetLastError(0);
  EXPECT_EQ(RpcBindingFree(&handle), RPC_S_INVALID_BINDING);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_INVALID_BINDING));
  SetLastError(0);
  EXPECT_EQ(RpcBindingFree(nullptr), RPC_S_INVALID_BINDING);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_INVALID_BINDING));
}

TEST_F(BindingHandleTest, InjectedBindingFailuresLeaveNothingMade) {
  inject_failure("RpcBindingFromStringBindingW", 1704);
  EXPECT_EQ(bind(L"ncacn_ip_tcp:h[1]"), 1704);

  RPC_BINDING_HANDLE handle = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingW(L"ncacn_ip_tcp:h[1]", &handle), RPC_S_OK);
  inject_failure("RpcBindingFree", 6);
  SetLastError(0);
  EXPECT_EQ(RpcBindingFree(&handle), 6);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_NE(handle, nullptr);
  EXPECT_EQ(RpcBindingFree(&handle), RPC_S_OK);
}

}  // namespace
