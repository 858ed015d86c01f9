// What trvs does to a destination image that is not what the run expects:
// one cut short or removed while trvc copies into it fails the run (never
// exit 0), and one shorter than the source at the start of an incremental run
// grows to the source's length. Real trvs and trvc processes on loopback.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class DestinationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dest_ = dir_.path() / "dest.img";
    write_file(dest_, {});
    server_ = std::make_unique<TrvsProcess>(std::vector<std::string>{"1=" + dest_.string()});
  }

  // A full copy of 64 MiB at 20 MiB/s; `meddle` runs on another thread once
  // the image has grown past 8 MiB. Returns trvc's result.
  RunResult copy_while(const std::function<void()>& meddle) {
    write_file(dir_.drive(0), pattern(64 * kMiB, 5));
    TrvcProcess client(dir_, {"127.0.0.1", server_->port_text(), "0", "1", "20480"});
    std::atomic<bool> done{false};
    std::atomic<bool> meddled{false};
    std::thread watcher([&] {
      while (!done) {
        std::error_code error;
        if (fs::file_size(dest_, error) > 8 * kMiB && !error) {
          meddle();
          meddled = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    RunResult run = client.wait();
    done = true;
    watcher.join();
    EXPECT_TRUE(meddled) << "the run ended before the image reached 8 MiB";
    return run;
  }

  TempDir dir_;
  fs::path dest_;
  std::unique_ptr<TrvsProcess> server_;
};

TEST_F(DestinationTest, AnImageCutToZeroDuringTheCopyFailsTheRun) {
  const RunResult run = copy_while([&] { fs::resize_file(dest_, 0); });
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  const std::string log = server_->log_text();
  EXPECT_NE(log.find("failure 11 (destination changed): replicate disk 1"), std::string::npos)
      << log;
  // The cut shows as a file shorter than the writes that have ended, or,
  // when the writes that grew the file had not yet ended as the watcher saw
  // it, as a probe byte that is no longer there.
  EXPECT_TRUE(log.find("bytes long, shorter than the") != std::string::npos ||
              log.find(", which was written") != std::string::npos)
      << log;
}

TEST_F(DestinationTest, AnImageRemovedDuringTheCopyFailsTheRun) {
  const RunResult run = copy_while([&] { fs::remove(dest_); });
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  const std::string log = server_->log_text();
  EXPECT_NE(log.find("failure 11 (destination changed): replicate disk 1"), std::string::npos)
      << log;
  EXPECT_NE(log.find(dest_.string() + " was removed"), std::string::npos) << log;
  EXPECT_NE(log.find("failure 11 (destination changed): close_device disk 1"), std::string::npos)
      << log;
}

// An incremental run into an empty image from a source that ends in zeros:
// every chunk past the image's end is sent, so the image ends up as long as
// the source (padded with zeros to the last whole chunk), not short.
TEST_F(DestinationTest, AnIncrementalRunIntoAnEmptyImageGrowsItToTheSourceLength) {
  const std::uint64_t length = 14 * kMiB + 4096;
  std::vector<std::uint8_t> source = pattern(8 * kMiB, 6);
  source.resize(length, 0);  // the last 6 MiB and a bit are zero
  write_file(dir_.drive(0), source);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "into the empty image" : "again, nothing to send");
    const RunResult run =
        run_trvc(dir_, {"127.0.0.1", server_->port_text(), "0", "1", "0", "incremental_sync"});
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    const std::vector<std::uint8_t> image = read_file(dest_);
    ASSERT_GE(image.size(), length);
    EXPECT_LE(image.size(), 15 * kMiB);
    EXPECT_TRUE(std::equal(source.begin(), source.end(), image.begin()));
    EXPECT_TRUE(std::all_of(image.begin() + static_cast<std::ptrdiff_t>(length), image.end(),
                            [](std::uint8_t byte) { return byte == 0; }));
  }
  const std::string log = server_->log_text();
  // The second run found every chunk in place. (In the first, a zero chunk
  // compared after a later chunk grew the image reads as a hole: Identical,
  // rightly.)
  EXPECT_NE(log.find("compared 15 (identical 15, different 0)"), std::string::npos) << log;
}

}  // namespace
}  // namespace e2e
