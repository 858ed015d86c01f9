// Cutting a stub into fragments; see fragment_plan.h. No shared state.
#include "dcerpc/fragment_plan.h"

#include <algorithm>

#include "dcerpc/pdu.h"

namespace rpc {

std::size_t stub_per_fragment(std::size_t max_fragment, std::size_t header_size) {
  if (max_fragment <= header_size) return 0;
  return (max_fragment - header_size) & ~std::size_t{7};
}

bool plan_fragments(std::size_t stub_size, std::size_t max_fragment, std::size_t header_size,
                    std::vector<Fragment>* out) {
  out->clear();
  const std::size_t per_fragment = stub_per_fragment(max_fragment, header_size);
  if (per_fragment == 0 || stub_size > UINT32_MAX || max_fragment > UINT16_MAX) return false;
  std::size_t offset = 0;
  do {
    const std::size_t length = std::min(per_fragment, stub_size - offset);
    Fragment fragment{};
    if (offset == 0) fragment.flags |= pfc::kFirstFrag;
    if (offset + length == stub_size) fragment.flags |= pfc::kLastFrag;
    fragment.frag_length = static_cast<std::uint16_t>(header_size + length);
    fragment.alloc_hint = static_cast<std::uint32_t>(stub_size - offset);
    fragment.stub_offset = offset;
    fragment.stub_length = length;
    out->push_back(fragment);
    offset += length;
  } while (offset < stub_size);
  return true;
}

void gather_fragments(std::span<const Fragment> plan, const std::uint8_t* headers,
                      std::size_t header_size, std::span<const ConstBuffer> stub,
                      std::vector<ConstBuffer>* out) {
  std::size_t piece = 0;         // the stub piece being sliced
  std::size_t piece_offset = 0;  // bytes of it already placed
  for (std::size_t f = 0; f < plan.size(); ++f) {
    out->push_back({headers + f * header_size, header_size});
    for (std::size_t left = plan[f].stub_length; left > 0;) {
      const ConstBuffer& source = stub[piece];
      const std::size_t take = std::min(left, source.size - piece_offset);
      if (take > 0) {
        out->push_back({static_cast<const std::uint8_t*>(source.data) + piece_offset, take});
      }
      left -= take;
      piece_offset += take;
      if (piece_offset == source.size) {
        ++piece;
        piece_offset = 0;
      }
    }
  }
}

}  // namespace rpc
