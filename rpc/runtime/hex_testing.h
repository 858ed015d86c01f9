// Test helper: bytes from a hex dump as protocol references print them
// ("05 00 0b 03 ..."); anything that is not a hex digit is skipped.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace rpc::testing {

inline std::vector<std::uint8_t> hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

}  // namespace rpc::testing
