// How a request or response stub is cut into fragments under the negotiated
// maximum fragment size, for both sides of the runtime: the client's
// requests (client_connection.cc) and the server's responses
// (server_request.cc). Every fragment but the last carries a multiple of 8
// stub bytes, so that the NDR alignment of the stub survives reassembly; an
// empty stub is still one fragment, flagged first and last. The plan only
// counts bytes: the caller encodes each fragment's header from it, and the
// write list points into the caller's header and stub buffers (nothing is
// copied). No auth trailer is planned: the runtime offers no authentication.
// Plain functions; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dcerpc/socket.h"

namespace rpc {

struct Fragment {
  std::uint8_t flags;         // pfc::kFirstFrag and/or pfc::kLastFrag
  std::uint16_t frag_length;  // header and stub bytes
  std::uint32_t alloc_hint;   // stub bytes from this fragment to the end
  std::size_t stub_offset;    // of its first stub byte in the whole stub
  std::size_t stub_length;
};

// The stub bytes a fragment carries when another follows it: what
// `max_fragment` leaves after `header_size`, rounded down to a multiple of 8.
// 0 when that leaves fewer than 8 bytes.
std::size_t stub_per_fragment(std::size_t max_fragment, std::size_t header_size);

// Replaces `out` with the fragments of a stub of `stub_size` bytes, in wire
// order. False, with `out` emptied, when the stub does not fit the 32-bit
// allocation hint or `max_fragment` leaves no room for stub bytes.
[[nodiscard]] bool plan_fragments(std::size_t stub_size, std::size_t max_fragment,
                                  std::size_t header_size, std::vector<Fragment>* out);

// Appends the gathered write of `plan` to `out`: for fragment i its header,
// `header_size` bytes at headers + i * header_size, then its stub bytes taken
// in order from the pieces of `stub` (a fragment may span pieces; empty
// pieces add nothing). `stub` must hold the bytes the plan was made for.
void gather_fragments(std::span<const Fragment> plan, const std::uint8_t* headers,
                      std::size_t header_size, std::span<const ConstBuffer> stub,
                      std::vector<ConstBuffer>* out);

}  // namespace rpc
