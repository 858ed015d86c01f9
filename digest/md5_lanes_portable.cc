// The build without vector kernels (TRV_DIGEST_LANES=OFF): md5_many hashes
// every message with the scalar engine, on any CPU.
#include "digest/lane_kernels.h"

namespace md5_detail {

bool cpu_has(Md5Lanes lanes) { return lanes == Md5Lanes::kScalar; }

BlocksFunction lane_kernel(Md5Lanes) { return nullptr; }

BlocksFunction avx2_pair_kernel() { return nullptr; }

}  // namespace md5_detail
