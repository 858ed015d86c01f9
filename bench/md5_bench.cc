// Throughput of the chunk digest (scalar, and 8 and 16 chunks at once in the
// lanes) and of the zero-chunk scan on 1 MiB chunks, the size every chunk of
// the disk has. Single-threaded, so every figure is per core. The header of
// the output names the engines this CPU runs and what one step of each costs
// as the digest measured it (the costs it chooses its engine by).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "digest/lane_plan.h"

namespace {

constexpr std::size_t kChunk = kChunkLength;

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

// `width` different chunks per pass, as the server's combiner hashes them
// when that many connections deliver at once.
void md5_lanes_chunks(benchmark::State& state, Md5Lanes lanes) {
  if (!md5_lanes_supported(lanes)) {
    state.SkipWithError("this CPU or build lacks these lanes");
    return;
  }
  const std::size_t width = md5_lane_width(lanes);
  std::vector<std::vector<std::uint8_t>> chunks;
  std::vector<const std::uint8_t*> data;
  for (std::size_t i = 0; i < width; ++i) {
    chunks.push_back(chunk_of_noise());
    chunks.back()[0] = static_cast<std::uint8_t>(i);
    data.push_back(chunks.back().data());
  }
  const std::vector<std::size_t> lengths(width, kChunk);
  std::vector<std::uint8_t[16]> digests(width);
  for (auto _ : state) {
    md5_many_using(lanes, data.data(), lengths.data(), digests.data(), width);
    benchmark::DoNotOptimize(digests.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * width * kChunk));
}

void BM_Md5Lanes8(benchmark::State& state) { md5_lanes_chunks(state, Md5Lanes::kAvx2); }
BENCHMARK(BM_Md5Lanes8);
void BM_Md5Lanes16(benchmark::State& state) { md5_lanes_chunks(state, Md5Lanes::kAvx512); }
BENCHMARK(BM_Md5Lanes16);

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

// "engines", "engine in use" and "ns per block step" in the context that
// heads the output (stderr for the console and CSV formats, the "context"
// object in JSON). The engine in use is the widest the programs take, which
// a test build may hold narrower (TRV_MD5_LANES).
void add_engine_context() {
  const md5_detail::LaneCosts& costs = md5_detail::lane_costs();
  std::string engines = "scalar, interleaved (2, 3, 4)";
  std::string steps;
  char figure[240];
  std::snprintf(figure, sizeof figure,
                "scalar %.2f, 2 interleaved %.2f (%.2f a message), 3 interleaved %.2f (%.2f a "
                "message), 4 interleaved %.2f (%.2f a message)",
                costs.scalar, costs.interleaved2, costs.interleaved2 / 2, costs.interleaved3,
                costs.interleaved3 / 3, costs.interleaved4, costs.interleaved4 / 4);
  steps += figure;
  const auto add = [&](Md5Lanes lanes, double cost) {
    if (!md5_lanes_supported(lanes)) return;
    const std::size_t width = md5_lane_width(lanes);
    engines += std::string(", ") + md5_lanes_name(lanes);
    std::snprintf(figure, sizeof figure, ", %s %.2f (%.2f a lane)", md5_lanes_name(lanes), cost,
                  cost / static_cast<double>(width));
    steps += figure;
  };
  add(Md5Lanes::kAvx2, costs.avx2);
  if (md5_lanes_supported(Md5Lanes::kAvx2)) {
    std::snprintf(figure, sizeof figure, ", avx2 pair %.2f (%.2f a lane)", costs.avx2_pair,
                  costs.avx2_pair / 16);
    steps += figure;
  }
  add(Md5Lanes::kAvx512, costs.avx512);
  const Md5Lanes best = md5_lanes_best();
  benchmark::AddCustomContext("engines", engines);
  benchmark::AddCustomContext("engine in use", std::string(md5_lanes_name(best)) + ", " +
                                                   std::to_string(md5_lane_width(best)) + " lanes");
  benchmark::AddCustomContext("ns per block step", steps);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  add_engine_context();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
