// The bind a 64-bit Windows client makes for ReplicationService, for the
// tests that speak the wire themselves (the runtime's tests among them). The
// interface and its offer are service/'s, the one place that names them;
// the runtime itself knows no interface. Header-only; tests only; any
// thread. Needs the service library linked.
#pragma once

#include <cstdint>

#include "dcerpc/pdu.h"
#include "service/interface.h"

namespace trv_testing {

inline rpc::Bind windows_style_bind(std::uint32_t assoc_group_id,
                                    std::uint16_t max_frag = rpc::kDefaultMaxFragment) {
  return rpc::bind_for(replication_service_offer(), assoc_group_id, max_frag);
}

}  // namespace trv_testing
