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

using trv_testing::pattern;

}  // namespace trvs_testing
