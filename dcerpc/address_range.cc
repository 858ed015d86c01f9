// Address ranges: literals through inet_pton, prefixes compared bit by bit.
#include "dcerpc/address_range.h"

#include <arpa/inet.h>

#include <cstring>

namespace rpc {
namespace {

// Parses an address literal into `bytes`; the family (4 or 6), or 0.
int parse_literal(const std::string& text, std::array<std::uint8_t, 16>* bytes) {
  bytes->fill(0);
  if (inet_pton(AF_INET, text.c_str(), bytes->data()) == 1) return 4;
  if (inet_pton(AF_INET6, text.c_str(), bytes->data()) == 1) return 6;
  return 0;
}

// ::ffff:a.b.c.d becomes a.b.c.d.
void unmap(int* family, std::array<std::uint8_t, 16>* bytes) {
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (*family != 6 || std::memcmp(bytes->data(), kMapped, sizeof kMapped) != 0) return;
  std::memmove(bytes->data(), bytes->data() + 12, 4);
  std::memset(bytes->data() + 4, 0, 12);
  *family = 4;
}

bool prefix_matches(const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b,
                    int prefix) {
  const int whole = prefix / 8;
  if (std::memcmp(a.data(), b.data(), static_cast<std::size_t>(whole)) != 0) return false;
  const int rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool parse_address_range(const std::string& text, AddressRange* out, std::string* error) {
  if (text == "any") {
    *out = AddressRange{};
    out->any = true;
    return true;
  }
  const std::size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  AddressRange range;
  range.family = parse_literal(address, &range.bytes);
  if (range.family == 0) {
    *error = "\"" + address + "\" is not an IPv4 or IPv6 address";
    return false;
  }
  const int bits = range.family == 4 ? 32 : 128;
  range.prefix = bits;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > bits) {
      *error = "prefix \"/" + digits + "\" is not 0.." + std::to_string(bits);
      return false;
    }
    range.prefix = std::stoi(digits);
  }
  std::array<std::uint8_t, 16> network{};
  std::memcpy(network.data(), range.bytes.data(), static_cast<std::size_t>(range.prefix / 8));
  if (range.prefix % 8 != 0) {
    network[range.prefix / 8] =
        range.bytes[range.prefix / 8] & static_cast<std::uint8_t>(0xff << (8 - range.prefix % 8));
  }
  if (network != range.bytes) {
    *error = "\"" + text + "\" has address bits set beyond its prefix";
    return false;
  }
  *out = range;
  return true;
}

std::string address_range_text(const AddressRange& range) {
  if (range.any) return "any";
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(range.family == 4 ? AF_INET : AF_INET6, range.bytes.data(), text, sizeof text);
  const int bits = range.family == 4 ? 32 : 128;
  std::string out = text;
  if (range.prefix != bits) out += "/" + std::to_string(range.prefix);
  return out;
}

bool address_allowed(const std::vector<AddressRange>& ranges, const std::string& address) {
  std::array<std::uint8_t, 16> bytes{};
  int family = parse_literal(address, &bytes);
  if (family == 0) return false;
  unmap(&family, &bytes);
  for (const AddressRange& range : ranges) {
    if (range.any) return true;
    if (range.family == family && prefix_matches(range.bytes, bytes, range.prefix)) return true;
  }
  return false;
}

}  // namespace rpc
