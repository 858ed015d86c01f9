// Allow-list ranges: what parses, what is refused and why, and which peer
// addresses each range admits, IPv4-mapped IPv6 peers included.
#include "dcerpc/address_range.h"

#include <gtest/gtest.h>

namespace rpc {
namespace {

AddressRange range(const std::string& text) {
  AddressRange out;
  std::string error;
  EXPECT_TRUE(parse_address_range(text, &out, &error)) << text << ": " << error;
  return out;
}

TEST(AddressRange, ParsesLiteralsPrefixesAndAny) {
  EXPECT_EQ(address_range_text(range("192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(address_range_text(range("10.0.0.0/8")), "10.0.0.0/8");
  EXPECT_EQ(address_range_text(range("::1")), "::1");
  EXPECT_EQ(address_range_text(range("2001:db8::/32")), "2001:db8::/32");
  EXPECT_EQ(address_range_text(range("0.0.0.0/0")), "0.0.0.0/0");
  EXPECT_EQ(address_range_text(range("any")), "any");
}

TEST(AddressRange, RefusesWhatIsNotARange) {
  for (const char* text :
       {"", "localhost", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8x",
        "10.1.0.0/8", "192.0.2.7/24", "1.2.3", "[::1]", "10.0.0.0/0008"}) {
    AddressRange out;
    std::string error;
    EXPECT_FALSE(parse_address_range(text, &out, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(AddressRange, MatchesByPrefixAndFamily) {
  const std::vector<AddressRange> ranges = {range("10.0.0.0/8"), range("192.0.2.7"),
                                            range("2001:db8::/32"), range("198.51.100.128/25")};
  EXPECT_TRUE(address_allowed(ranges, "10.255.1.2"));
  EXPECT_FALSE(address_allowed(ranges, "11.0.0.1"));
  EXPECT_TRUE(address_allowed(ranges, "192.0.2.7"));
  EXPECT_FALSE(address_allowed(ranges, "192.0.2.8"));
  EXPECT_TRUE(address_allowed(ranges, "198.51.100.200"));
  EXPECT_FALSE(address_allowed(ranges, "198.51.100.127"));
  EXPECT_TRUE(address_allowed(ranges, "2001:db8:1::5"));
  EXPECT_FALSE(address_allowed(ranges, "2001:db9::5"));
  EXPECT_FALSE(address_allowed(ranges, "::ffff:11.0.0.1"));
  EXPECT_TRUE(address_allowed(ranges, "::ffff:10.0.0.1")) << "a mapped IPv4 peer is that peer";
  EXPECT_FALSE(address_allowed(ranges, "not an address"));
  EXPECT_FALSE(address_allowed({}, "10.0.0.1")) << "an empty list admits nobody";
  EXPECT_TRUE(address_allowed({range("any")}, "2001:db9::5"));
  EXPECT_FALSE(address_allowed({range("::1")}, "127.0.0.1")) << "families do not mix";
}

}  // namespace
}  // namespace rpc
