// The grammar of string bindings, shared by RpcStringBindingParseW and the
// binding handle: "[ObjectUUID@]ProtSeq:[NetworkAddr][[Endpoint][,opt=val...]]"
// with backslash escapes. Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "dcerpc/rpc.h"

namespace rpc {

struct StringBindingParts {
  std::wstring object_uuid;  // empty when absent
  std::wstring protseq;
  std::wstring network_addr;
  std::wstring endpoint;
  std::wstring options;  // "name=value" items joined by ','
};

// The composed form (see RpcStringBindingComposeW).
std::wstring compose_string_binding(std::wstring_view object_uuid, std::wstring_view protseq,
                                    std::wstring_view network_addr, std::wstring_view endpoint,
                                    std::wstring_view options);

// RPC_S_OK, RPC_S_INVALID_STRING_BINDING or RPC_S_INVALID_STRING_UUID.
RPC_STATUS parse_string_binding(std::wstring_view text, StringBindingParts* out);

// True for "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in hexadecimal digits.
bool is_uuid_text(std::wstring_view text);

}  // namespace rpc
