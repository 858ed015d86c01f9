// Address ranges for a server's allow list: "192.0.2.7", "10.0.0.0/8",
// "::1", "2001:db8::/32", or "any". Parsing and matching are pure functions
// of their arguments, safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace rpc {

struct AddressRange {
  bool any = false;                      // every address of either family
  int family = 0;                        // 4 or 6
  std::array<std::uint8_t, 16> bytes{};  // the network, first 4 bytes for IPv4
  int prefix = 0;                        // leading bits that must match
};

// Parses `text`; false (with *error saying why) for anything that is not an
// IPv4 or IPv6 literal with an optional /PREFIX in range, or "any". Host
// bits beyond the prefix must be zero ("10.1.0.0/8" is refused as a likely
// typing error).
bool parse_address_range(const std::string& text, AddressRange* out, std::string* error);

// The canonical text of a range, as parse_address_range accepts it.
std::string address_range_text(const AddressRange& range);

// Whether the peer address `address` (an IPv4 or IPv6 literal, as
// Socket::peer_address gives it) lies in one of `ranges`. An IPv4-mapped
// IPv6 address (::ffff:a.b.c.d) matches as the IPv4 address it carries.
bool address_allowed(const std::vector<AddressRange>& ranges, const std::string& address);

}  // namespace rpc
