// The client as a real process copying disk images: each run mode against
// trvs and against a scripted server that records what it was sent, source
// sizes around the chunk size, and the destination afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

std::vector<std::uint64_t> chunk_offsets(std::uint64_t count) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = 0; i < count; ++i) out.push_back(i * kMiB);
  return out;
}

// The destination holds the source in its first bytes and only zeros after.
void expect_copy(const std::vector<std::uint8_t>& source, const std::vector<std::uint8_t>& dest) {
  ASSERT_GE(dest.size(), source.size());
  EXPECT_TRUE(std::equal(source.begin(), source.end(), dest.begin())) << "destination differs";
  EXPECT_TRUE(std::all_of(dest.begin() + static_cast<std::ptrdiff_t>(source.size()), dest.end(),
                          [](std::uint8_t b) { return b == 0; }))
      << "bytes beyond the source are not zero";
}

class TrvsCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    dest_path_ = dir_.path() / "dest.img";
    write_file(dest_path_, {});
  }

  RunResult copy(const std::vector<std::uint8_t>& source, const std::string& mode = "",
                 const std::vector<std::string>& server_options = {}) {
    write_file(dir_.drive(1), source);
    TrvsProcess server({"7=" + dest_path_.string()}, server_options);
    std::vector<std::string> args = {"127.0.0.1", server.port_text(), "1", "7", "0"};
    if (!mode.empty()) args.push_back(mode);
    RunResult result = run_trvc(dir_, args);
    server.stop();
    return result;
  }

  TempDir dir_;
  std::filesystem::path dest_path_;
};

TEST_F(TrvsCopy, FullCopyMakesTheDestinationEqualTheSource) {
  std::vector<std::uint8_t> source = pattern(5 * kMiB + 4096, 1);
  RunResult result = copy(source);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(find_message(result.log, "Replicate succ."), -1);
  expect_copy(source, read_file(dest_path_));
}

TEST_F(TrvsCopy, IncrementalRunsBringAChangedDestinationBackInLine) {
  std::vector<std::uint8_t> source = pattern(6 * kMiB, 2);
  ASSERT_EQ(copy(source).exit_code, 0);
  // Change two chunks and part of a third on the source; the next runs must
  // carry those changes over, whichever incremental mode they use.
  std::vector<std::uint8_t> changed = pattern(kMiB, 3);
  std::copy(changed.begin(), changed.end(), source.begin() + 1 * kMiB);
  std::fill(source.begin() + 4 * kMiB, source.begin() + 5 * kMiB, 0);
  source[5 * kMiB + 17] ^= 0xFF;
  RunResult incremental = copy(source, "incremental_sync");
  ASSERT_EQ(incremental.exit_code, 0) << incremental.err;
  expect_copy(source, read_file(dest_path_));

  source[3 * kMiB] ^= 0x01;
  RunResult last = copy(source, "last_incremental_sync");
  ASSERT_EQ(last.exit_code, 0) << last.err;
  expect_copy(source, read_file(dest_path_));
}

// A server that offers only NDR 2.0 refuses the client's NDR64 context, so
// every call of these runs travels in NDR 2.0 (the runs above use NDR64).
TEST_F(TrvsCopy, AServerOfferingOnlyNdr20ReceivesTheSameBytes) {
  std::vector<std::uint8_t> source = pattern(3 * kMiB + 100, 4);
  RunResult full = copy(source, "", {"--ndr20-only"});
  ASSERT_EQ(full.exit_code, 0) << full.err;
  expect_copy(source, read_file(dest_path_));

  source[2 * kMiB + 5] ^= 0x5A;
  RunResult incremental = copy(source, "incremental_sync", {"--ndr20-only"});
  ASSERT_EQ(incremental.exit_code, 0) << incremental.err;
  expect_copy(source, read_file(dest_path_));
}

class SourceSize : public TrvsCopy, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(SourceSize, DestinationStartsWithTheSourceAndIsZeroBeyond) {
  std::vector<std::uint8_t> source = pattern(GetParam(), 4);
  RunResult result = copy(source);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(find_message(result.log, "Open device succ, disk size: " + std::to_string(GetParam())),
            -1);
  std::vector<std::uint8_t> dest = read_file(dest_path_);
  expect_copy(source, dest);
  // Whole chunks are sent, so the image covers the last chunk in full.
  EXPECT_EQ(dest.size() % kMiB, 0u);
}

INSTANTIATE_TEST_SUITE_P(AroundTheChunkSize, SourceSize,
                         ::testing::Values(0, 1, kMiB - 1, 3 * kMiB, 3 * kMiB + 1, 3 * kMiB + 512,
                                           // The short last chunk lands in a buffer that
                                           // already carried a chunk of the pattern.
                                           20 * kMiB + 12345));

// The scripted server tells exactly which calls each mode makes.
class ModeCalls : public ::testing::Test {
 protected:
  void SetUp() override { server_.start(); }

  RunResult run(const std::string& mode, const std::string& dest_index = "7") {
    std::vector<std::string> args = {"127.0.0.1", server_.port_text(), "1", dest_index, "0"};
    if (!mode.empty()) args.push_back(mode);
    return run_trvc(dir_, args);
  }

  TempDir dir_;
  ScriptedReplicationServer server_;
};

TEST_F(ModeCalls, FullCopyReplicatesEveryChunkWithoutComparing) {
  std::vector<std::uint8_t> source = pattern(3 * kMiB + 5, 5);
  write_file(dir_.drive(1), source);
  server_.preload(source);  // even a destination that already matches
  RunResult result = run("");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(server_.replicated_offsets(), chunk_offsets(4));
  EXPECT_TRUE(server_.compared_offsets().empty());
  EXPECT_EQ(server_.bad_digests(), 0);
  EXPECT_EQ(server_.bad_lengths(), 0);
  EXPECT_EQ(server_.open_calls(), 1);
  EXPECT_EQ(server_.close_calls(), 1);
  expect_copy(source, server_.destination(4 * kMiB));
}

TEST_F(ModeCalls, IncrementalComparesEveryChunkAndSendsOnlyTheChangedOnes) {
  std::vector<std::uint8_t> source = pattern(6 * kMiB, 6);
  std::vector<std::uint8_t> old = source;
  old[2 * kMiB + 100] ^= 1;
  std::fill(old.begin() + 4 * kMiB, old.begin() + 5 * kMiB, 0);
  server_.preload(old);
  write_file(dir_.drive(1), source);
  RunResult result = run("incremental_sync");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(server_.compared_offsets(), chunk_offsets(6));
  EXPECT_EQ(server_.replicated_offsets(), (std::vector<std::uint64_t>{2 * kMiB, 4 * kMiB}));
  EXPECT_EQ(server_.bad_digests(), 0);
  EXPECT_EQ(server_.bad_lengths(), 0);
  expect_copy(source, server_.destination(6 * kMiB));
}

TEST_F(ModeCalls, LastIncrementalComparesLikeIncremental) {
  std::vector<std::uint8_t> source = pattern(4 * kMiB, 7);
  std::vector<std::uint8_t> old = source;
  old[kMiB] ^= 0x80;
  server_.preload(old);
  write_file(dir_.drive(1), source);
  RunResult result = run("last_incremental_sync");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(server_.compared_offsets(), chunk_offsets(4));
  EXPECT_EQ(server_.replicated_offsets(), std::vector<std::uint64_t>{kMiB});
  expect_copy(source, server_.destination(4 * kMiB));
}

TEST_F(ModeCalls, AnIdenticalDestinationReceivesNoData) {
  // Zero chunks take the shortcut past the digest; their digest must still
  // be the real one, or the server would see them as changed.
  std::vector<std::uint8_t> source = pattern(5 * kMiB, 8);
  std::fill(source.begin() + kMiB, source.begin() + 3 * kMiB, 0);
  server_.preload(source);
  write_file(dir_.drive(1), source);
  RunResult result = run("incremental_sync");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(server_.compared_offsets(), chunk_offsets(5));
  EXPECT_TRUE(server_.replicated_offsets().empty());
  EXPECT_NE(find_message(result.log, "Replicate succ."), -1);
}

TEST_F(ModeCalls, ZeroChunksAreSentWithTheirTrueDigest) {
  std::vector<std::uint8_t> source(3 * kMiB, 0);
  source[2 * kMiB + 5] = 9;
  write_file(dir_.drive(1), source);
  RunResult result = run("");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(server_.replicated_offsets(), chunk_offsets(3));
  EXPECT_EQ(server_.bad_digests(), 0);
}

TEST_F(ModeCalls, EveryCallNamesTheSameDestination) {
  write_file(dir_.drive(1), pattern(2 * kMiB, 9));
  RunResult result = run("incremental_sync", "-2");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::int16_t> dests = server_.dests();
  // open, 2 compares, 2 replicates, close
  ASSERT_EQ(dests.size(), 6u);
  EXPECT_TRUE(std::all_of(dests.begin(), dests.end(), [](std::int16_t d) { return d == -2; }));
}

TEST_F(ModeCalls, DestinationBeyondTheWireTypeIsRefusedBeforeTheRun) {
  // Cut to 16 bits, 65537 would have written to disk 1.
  write_file(dir_.drive(1), pattern(kMiB, 9));
  RunResult result = run("", "65537");
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(server_.open_calls(), 0);
  EXPECT_EQ(find_message(result.log, "Initilazing client"), -1);
}

TEST_F(ModeCalls, EmptySourceSucceedsWithoutSendingAChunk) {
  write_file(dir_.drive(1), {});
  RunResult result = run("");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(server_.replicated_offsets().empty());
  EXPECT_EQ(server_.open_calls(), 1);
  EXPECT_EQ(server_.close_calls(), 1);
}

// Whether a mode flushes the source shows when the flush is made to fail.
struct FlushCase {
  const char* mode;
  bool flushes;
};

class FlushByMode : public ModeCalls, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FlushByMode, OnlyTheFlushingModesMeetTheFlushFailure) {
  write_file(dir_.drive(1), pattern(kMiB, 10));
  std::vector<std::string> args = {"127.0.0.1", server_.port_text(), "1", "7", "0"};
  if (*GetParam().mode) args.push_back(GetParam().mode);
  RunResult result = run_trvc(dir_, args, {{"TRV_FAIL_CALL", "FlushFileBuffers:21"}});
  if (GetParam().flushes) {
    EXPECT_EQ(result.exit_code, 1);
    int report = find_message(result.log, "FlushFileBuffers failed, error code: 21");
    ASSERT_NE(report, -1) << result.err;
    EXPECT_EQ(result.log[report].level, "ERROR");
    EXPECT_EQ(server_.open_calls(), 0);
  } else {
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(server_.replicated_offsets().size() + server_.compared_offsets().size(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FlushByMode,
                         ::testing::Values(FlushCase{"", true},
                                           FlushCase{"incremental_sync", false},
                                           FlushCase{"last_incremental_sync", true}));

}  // namespace
}  // namespace e2e
