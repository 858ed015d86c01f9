// What trvs vouches for at the ends of a destination, with real trvs and trvc
// processes on loopback: an incremental run whose destination is cut while
// chunks are found identical never passes with the cut unrepaired; nothing
// past --max-size is dropped; and a verify image of a length that is not a
// whole number of chunks verifies when exact and not when a block differs.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> copy_args(std::uint16_t port, const char* bandwidth,
                                   const char* mode = nullptr) {
  std::vector<std::string> args = {"127.0.0.1", std::to_string(port), "0", "1", bandwidth};
  if (mode) args.push_back(mode);
  return args;
}

class DestinationBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_.devices()); }

  TempDir dir_;
};

// A source and an identical destination; mid-run the destination is cut to
// 2 MiB. Chunks already answered Identical are gone: the run must fail, or
// (had the cut come before any compare) end with the destination exact.
TEST_F(DestinationBoundsTest, AnIncrementalRunOverADestinationCutMidRunNeverPassesShort) {
  const std::vector<std::uint8_t> source = pattern(16 * kMiB, 8);
  write_file(dir_.drive(0), source);
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, source);
  TrvsProcess server({"1=" + image.string()});
  // At 2048 KB/s the 16 chunks take about 8 s; the cut comes once the disk
  // is open and some of them have been compared.
  TrvcProcess client(dir_, copy_args(server.port(), "2048", "incremental_sync"));
  ASSERT_TRUE(
      eventually([&] { return server.log_text().find("opened by group") != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  fs::resize_file(image, 2 * kMiB);
  const RunResult run = client.wait();
  const std::string log = server.log_text();
  if (run.exit_code == 0) {
    EXPECT_EQ(read_file(image), source) << log;
  } else {
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    EXPECT_NE(log.find("failure 11 (destination changed): "), std::string::npos) << log;
    EXPECT_NE(log.find("shorter than the"), std::string::npos) << log;
  }
}

// A 4 MiB source whose last 2 MiB are zero, into an image bounded at 2 MiB:
// both a full copy and an incremental run fail instead of leaving 2 MiB.
TEST_F(DestinationBoundsTest, ASourceLargerThanMaxSizeFailsTheRunEvenWhereItsTailIsZero) {
  std::vector<std::uint8_t> source = pattern(2 * kMiB, 9);
  source.resize(4 * kMiB, 0);
  write_file(dir_.drive(0), source);
  for (const char* mode : {static_cast<const char*>(nullptr), "incremental_sync"}) {
    SCOPED_TRACE(mode ? mode : "full copy");
    const fs::path image = dir_.path() / "bounded.img";
    write_file(image, {});
    TrvsProcess server({"1=" + image.string()}, {"--max-size", "1=2M"});
    const RunResult run = run_trvc(dir_, copy_args(server.port(), "0", mode));
    EXPECT_EQ(run.exit_code, 1) << server.log_text();
    EXPECT_NE(server.log_text().find("failure 9 (past end): replicate disk 1 group "),
              std::string::npos)
        << server.log_text();
  }
}

// 9 MiB and 4242 bytes: the last chunk is sent padded with zeros, which the
// verify image does not hold.
TEST_F(DestinationBoundsTest, AVerifyImageOfAnyLengthVerifiesWhenExactAndNamesAChangedBlock) {
  std::vector<std::uint8_t> source = pattern(9 * kMiB + 4242, 4);
  write_file(dir_.drive(0), source);
  const fs::path image = dir_.path() / "copy.img";
  write_file(image, source);
  {
    TrvsProcess server({}, {"--verify-disk", "1=" + image.string()});
    const RunResult run = run_trvc(dir_, copy_args(server.port(), "0", "incremental_sync"));
    EXPECT_EQ(run.exit_code, 0) << server.log_text();
    EXPECT_NE(server.log_text().find("read-only, bytes past its end compare as zero"),
              std::string::npos)
        << server.log_text();
  }
  for (const std::uint64_t changed : {std::uint64_t{3} * kMiB, std::uint64_t{9} * kMiB}) {
    SCOPED_TRACE(changed);
    std::vector<std::uint8_t> other = source;
    other[changed + 100] ^= 0xff;
    write_file(dir_.drive(0), other);
    TrvsProcess server({}, {"--verify-disk", "1=" + image.string()});
    const RunResult run = run_trvc(dir_, copy_args(server.port(), "0", "incremental_sync"));
    EXPECT_EQ(run.exit_code, 1);
    const std::string log = server.log_text();
    EXPECT_NE(log.find("failure 12 (read-only): replicate disk 1 group "), std::string::npos)
        << log;
    EXPECT_NE(log.find("offset " + std::to_string(changed) + ": "), std::string::npos) << log;
    EXPECT_EQ(log.find("failure 12", log.find("failure 12") + 1), std::string::npos)
        << "only the changed chunk differs: " << log;
  }
  EXPECT_EQ(read_file(image), source);
}

// One trvs serves the image for the copy and for its verification, without
// a restart: the copy into disk 1, then a verifying run against disk 2,
// which passes, and fails once the image changed.
TEST_F(DestinationBoundsTest, TheImageOfADiskIsVerifiedThroughItsVerifyDiskInTheSameServer) {
  const std::vector<std::uint8_t> source = pattern(3 * kMiB + 700, 12);
  write_file(dir_.drive(0), source);
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  TrvsProcess server({"1=" + image.string()}, {"--verify-disk", "2=" + image.string()});
  RunResult run = run_trvc(dir_, copy_args(server.port(), "0"));
  ASSERT_EQ(run.exit_code, 0) << server.log_text();
  std::vector<std::string> verify = copy_args(server.port(), "0", "incremental_sync");
  verify[3] = "2";
  run = run_trvc(dir_, verify);
  EXPECT_EQ(run.exit_code, 0) << server.log_text();
  write_at(image, kMiB + 5, {0xee});
  run = run_trvc(dir_, verify);
  EXPECT_EQ(run.exit_code, 1) << server.log_text();
  EXPECT_NE(server.log_text().find("failure 12 (read-only): replicate disk 2 group "),
            std::string::npos)
      << server.log_text();
}

}  // namespace
}  // namespace e2e
