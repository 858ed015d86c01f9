// The tests' one reader of whole DCE/RPC PDUs off a raw socket, for the fake
// peers and raw clients that speak the wire directly. Header-only; tests only;
// one thread per socket.
#pragma once

#include <cstdint>
#include <vector>

#include "dcerpc/pdu.h"
#include "dcerpc/socket.h"

namespace trv_testing {

// Reads one whole PDU into `pdu`: the common header, then the rest as its
// frag_length says. Fails as the socket does (EOF, time-out), or with the
// header's parse status; `header` (optional) gets the parsed header.
inline rpc::Status read_pdu(rpc::Socket& socket, std::vector<std::uint8_t>* pdu,
                            rpc::CommonHeader* header = nullptr) {
  rpc::CommonHeader parsed;
  pdu->assign(rpc::kCommonHeaderSize, 0);
  if (rpc::Status s = socket.read_exact(pdu->data(), rpc::kCommonHeaderSize); !s.is_ok()) return s;
  if (rpc::Status s = rpc::parse_fragment_header(*pdu, &parsed); !s.is_ok()) return s;
  if (header != nullptr) *header = parsed;
  pdu->resize(parsed.frag_length);
  return socket.read_exact(pdu->data() + rpc::kCommonHeaderSize,
                           parsed.frag_length - rpc::kCommonHeaderSize);
}

}  // namespace trv_testing
