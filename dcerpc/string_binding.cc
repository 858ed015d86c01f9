// String bindings: compose, parse and free. Strings handed to callers are
// allocated with new[] so that RpcStringFreeW can release any of them.
#include "dcerpc/string_binding.h"

#include <cstring>
#include <new>

#include "dcerpc/client_internal.h"

namespace rpc {
namespace {

bool is_escaped_char(wchar_t c) {
  return c == L'@' || c == L':' || c == L'[' || c == L']' || c == L'\\';
}

void append_escaped(std::wstring* out, std::wstring_view component) {
  for (wchar_t c : component) {
    if (is_escaped_char(c)) out->push_back(L'\\');
    out->push_back(c);
  }
}

// Position of the first `delimiter` at or after `from` that no backslash
// escapes, or npos.
std::size_t find_delimiter(std::wstring_view text, std::size_t from, wchar_t delimiter) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == L'\\') {
      ++i;  // the escaped character never delimits
      continue;
    }
    if (text[i] == delimiter) return i;
  }
  return std::wstring_view::npos;
}

// Removes one backslash before any character; a lone backslash at the end is
// dropped.
std::wstring unescape(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\') {
      if (++i == text.size()) break;
    }
    out.push_back(text[i]);
  }
  return out;
}

bool is_hex(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// The bracketed part: the endpoint first, then options. An item without '='
// after the first is a second endpoint; so is "endpoint=" once one is set.
RPC_STATUS parse_bracket(std::wstring_view inside, StringBindingParts* out) {
  bool endpoint_seen = false;
  std::size_t start = 0;
  for (int index = 0;; ++index) {
    std::size_t comma = find_delimiter(inside, start, L',');
    std::size_t end = comma == std::wstring_view::npos ? inside.size() : comma;
    std::wstring_view item = inside.substr(start, end - start);
    std::size_t equals = find_delimiter(item, 0, L'=');
    if (equals == std::wstring_view::npos) {
      if (index != 0) return RPC_S_INVALID_STRING_BINDING;
      out->endpoint = unescape(item);
      endpoint_seen = !item.empty();
    } else if (item.substr(0, equals) == L"endpoint") {
      if (endpoint_seen) return RPC_S_INVALID_STRING_BINDING;
      out->endpoint = unescape(item.substr(equals + 1));
      endpoint_seen = true;
    } else {
      if (!out->options.empty()) out->options.push_back(L',');
      out->options += unescape(item);
    }
    if (comma == std::wstring_view::npos) return RPC_S_OK;
    start = comma + 1;
  }
}

// A copy the caller frees with RpcStringFreeW; null when out of memory.
RPC_WSTR duplicate(const std::wstring& text) {
  auto* copy = new (std::nothrow) wchar_t[text.size() + 1];
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return copy;
}

std::wstring_view view_of(const wchar_t* text) {
  return text == nullptr ? std::wstring_view() : std::wstring_view(text);
}

}  // namespace

std::wstring compose_string_binding(std::wstring_view object_uuid, std::wstring_view protseq,
                                    std::wstring_view network_addr, std::wstring_view endpoint,
                                    std::wstring_view options) {
  std::wstring out;
  if (!object_uuid.empty()) {
    append_escaped(&out, object_uuid);
    out.push_back(L'@');
  }
  if (!protseq.empty()) {
    append_escaped(&out, protseq);
    out.push_back(L':');
  }
  append_escaped(&out, network_addr);
  if (!endpoint.empty() || !options.empty()) {
    out.push_back(L'[');
    append_escaped(&out, endpoint);
    if (!options.empty()) {
      out.push_back(L',');
      append_escaped(&out, options);
    }
    out.push_back(L']');
  }
  return out;
}

bool is_uuid_text(std::wstring_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash_position ? text[i] != L'-' : !is_hex(text[i])) return false;
  }
  return true;
}

RPC_STATUS parse_string_binding(std::wstring_view text, StringBindingParts* out) {
  *out = StringBindingParts();
  std::wstring_view rest = text;
  std::size_t at = find_delimiter(rest, 0, L'@');
  if (at != std::wstring_view::npos) {
    std::wstring uuid = unescape(rest.substr(0, at));
    if (!is_uuid_text(uuid)) return RPC_S_INVALID_STRING_UUID;
    out->object_uuid = std::move(uuid);
    rest = rest.substr(at + 1);
  }
  std::size_t colon = find_delimiter(rest, 0, L':');
  if (colon == std::wstring_view::npos) return RPC_S_INVALID_STRING_BINDING;
  out->protseq = unescape(rest.substr(0, colon));
  rest = rest.substr(colon + 1);

  std::size_t open = find_delimiter(rest, 0, L'[');
  if (open == std::wstring_view::npos) {
    out->network_addr = unescape(rest);
    return RPC_S_OK;
  }
  std::size_t close = find_delimiter(rest, open + 1, L']');
  if (close == std::wstring_view::npos || close + 1 != rest.size()) {
    return RPC_S_INVALID_STRING_BINDING;
  }
  out->network_addr = unescape(rest.substr(0, open));
  return parse_bracket(rest.substr(open + 1, close - open - 1), out);
}

}  // namespace rpc

RPC_STATUS RpcStringBindingComposeW(const wchar_t* obj_uuid, const wchar_t* prot_seq,
                                    const wchar_t* network_addr, const wchar_t* endpoint,
                                    const wchar_t* options, RPC_WSTR* string_binding) {
  RPC_STATUS status;
  if (rpc::injected_status("RpcStringBindingComposeW", &status)) return status;
  if (string_binding == nullptr) return rpc::fail_with(RPC_S_INVALID_ARG);
  *string_binding = rpc::duplicate(rpc::compose_string_binding(
      rpc::view_of(obj_uuid), rpc::view_of(prot_seq), rpc::view_of(network_addr),
      rpc::view_of(endpoint), rpc::view_of(options)));
  return *string_binding == nullptr ? rpc::fail_with(RPC_S_OUT_OF_MEMORY) : RPC_S_OK;
}

RPC_STATUS RpcStringBindingParseW(const wchar_t* string_binding, RPC_WSTR* obj_uuid,
                                  RPC_WSTR* prot_seq, RPC_WSTR* network_addr, RPC_WSTR* endpoint,
                                  RPC_WSTR* options) {
  RPC_WSTR* outputs[] = {obj_uuid, prot_seq, network_addr, endpoint, options};
  for (RPC_WSTR* output : outputs) {
    if (output != nullptr) *output = nullptr;
  }
  RPC_STATUS status;
  if (rpc::injected_status("RpcStringBindingParseW", &status)) return status;
  if (string_binding == nullptr) return rpc::fail_with(RPC_S_INVALID_STRING_BINDING);

  rpc::StringBindingParts parts;
  status = rpc::parse_string_binding(string_binding, &parts);
  if (status != RPC_S_OK) return rpc::fail_with(status);
  const std::wstring* values[] = {&parts.object_uuid, &parts.protseq, &parts.network_addr,
                                  &parts.endpoint, &parts.options};
  for (int i = 0; i < 5; ++i) {
    if (outputs[i] == nullptr) continue;
    *outputs[i] = rpc::duplicate(*values[i]);
    if (*outputs[i] == nullptr) {
      for (RPC_WSTR* output : outputs) {
        if (output != nullptr) {
          delete[] * output;
          *output = nullptr;
        }
      }
      return rpc::fail_with(RPC_S_OUT_OF_MEMORY);
    }
  }
  return RPC_S_OK;
}

RPC_STATUS RpcStringFreeW(RPC_WSTR* string) {
  RPC_STATUS status;
  if (rpc::injected_status("RpcStringFreeW", &status)) return status;
  if (string == nullptr) return rpc::fail_with(RPC_S_INVALID_ARG);
  delete[] * string;
  *string = nullptr;
  return RPC_S_OK;
}
