// The interface that the runtime's own tests bind and call, and the bind a
// 64-bit Windows client makes for it. The runtime knows no interface of its
// own; these spell out the replication service's identity and offer so that
// the runtime's tests need nothing above the runtime. Header-only.
#pragma once

#include <cstdint>

#include "dcerpc/pdu.h"

namespace rpc {

// 28ca6c91-a6eb-423d-82cf-548f5df542bc version 1.0.
inline const SyntaxId& replication_interface() {
  static const SyntaxId id{*Uuid::parse("28ca6c91-a6eb-423d-82cf-548f5df542bc"), 1, 0};
  return id;
}

// ctx 0 NDR 2.0, ctx 1 NDR64, ctx 2 feature negotiation offering 0x03.
inline const BindOffer& windows_style_offer() {
  static const BindOffer offer{
      replication_interface(),
      {ndr20_syntax(), ndr64_syntax(),
       btfn_syntax(btfn::kSecurityContextMultiplexing | btfn::kKeepConnectionOnOrphan)}};
  return offer;
}

inline Bind windows_style_bind(std::uint32_t assoc_group_id,
                               std::uint16_t max_frag = kDefaultMaxFragment) {
  return bind_for(windows_style_offer(), assoc_group_id, max_frag);
}

}  // namespace rpc
