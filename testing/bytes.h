// The tests' one-shot byte helpers: bytes from a hex dump, a whole file, and
// the MD5 of a buffer. Header-only; tests only; any thread. md5_of needs the digest
// library linked.
#pragma once

#include <cctype>
#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "digest/digest.h"

namespace trv_testing {

using Bytes = std::vector<std::uint8_t>;

// Bytes from a hex dump as protocol references print them
// ("05 00 0b 03 ..."); anything that is not a hex digit is skipped.
inline Bytes hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The whole file at `path`, in one read (images run to megabytes, and a
// byte at a time is slow under the sanitizers); empty when it cannot be read.
inline Bytes read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff length = in.tellg();
  if (!in || length < 0) return {};
  Bytes bytes(static_cast<std::size_t>(length));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) return {};
  return bytes;
}

// `length` bytes that differ from seed to seed, from chunk to chunk and
// within a chunk, none of them zero: a chunk written at the wrong offset, a
// short write or a piece mistaken for zeros shows.
inline Bytes pattern(std::size_t length, std::uint32_t seed) {
  Bytes data(length);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : data) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>((state >> 16) | 1);
  }
  return data;
}

// The MD5 digest of `data`.
inline Bytes md5_of(std::span<const std::uint8_t> data) {
  Bytes digest(kDigestLength);
  md5_digest(data.data(), data.size(), digest.data());
  return digest;
}

}  // namespace trv_testing
