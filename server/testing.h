// Helpers shared by the trvs tests: a scratch folder, digests and chunk
// contents that tell one chunk from another. Test code only; any thread.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "digest/digest.h"

namespace trvs_testing {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with all it
// holds when this goes.
class ScratchDir {
 public:
  ScratchDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "trvs_test_XXXXXX").string();
    if (::mkdtemp(templ.data())) path_ = templ;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline Bytes md5_of(const Bytes& data) {
  Bytes digest(16);
  md5_digest(data.data(), data.size(), digest.data());
  return digest;
}

// `length` bytes, none of them zero, that differ from seed to seed.
inline Bytes pattern(std::size_t length, std::uint32_t seed) {
  Bytes data(length);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : data) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>((state >> 16) | 1);
  }
  return data;
}

}  // namespace trvs_testing
