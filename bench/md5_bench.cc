// Throughput of the chunk digest and of the zero-chunk scan on 1 MiB chunks,
// the size every chunk of the disk has. Single-threaded.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/md5.h"

namespace {

constexpr std::size_t kChunk = 1048576;

std::vector<std::uint8_t> chunk_of_noise() {
  std::vector<std::uint8_t> data(kChunk);
  std::uint32_t state = 0x12345678u;
  for (auto& byte : data) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return data;
}

void BM_Md5Chunk(benchmark::State& state) {
  const auto data = chunk_of_noise();
  std::uint8_t digest[16];
  for (auto _ : state) {
    Md5Context context;
    md5_init(&context);
    md5_update(&context, data.data(), static_cast<std::uint32_t>(data.size()));
    md5_final(digest, &context);
    benchmark::DoNotOptimize(digest);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChunk);
}
BENCHMARK(BM_Md5Chunk);

// A chunk of zeros is scanned to its end: the worst case of the scan.
void BM_IsAllZeroChunk(benchmark::State& state) {
  const std::vector<std::uint8_t> data(kChunk);
  for (auto _ : state) {
    bool zero = is_all_zero(data.data(), data.size());
    benchmark::DoNotOptimize(zero);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChunk);
}
BENCHMARK(BM_IsAllZeroChunk);

}  // namespace

BENCHMARK_MAIN();
