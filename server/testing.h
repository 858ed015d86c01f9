// Helpers shared by the trvs tests: a scratch folder, digests and chunk
// contents that tell one chunk from another. Test code only; any thread.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/bytes.h"
#include "testing/temporary_directory.h"

namespace trvs_testing {

using Bytes = std::vector<std::uint8_t>;

using ScratchDir = trv_testing::TemporaryDirectory;

using trv_testing::md5_of;

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
