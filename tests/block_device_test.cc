// trvc reading a block device and trvs writing one, on loop devices over
// small files in the test's temporary folder: byte-exact full and
// incremental copies with 512- and 4096-byte logical sectors and a source
// that is not a whole number of MiB, a mounted destination refused at the
// start, and a destination smaller than the source. Needs root and loop
// devices; elsewhere every test says it was skipped, and why. Each loop
// device and mount is undone by its guard, also when a test fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Runs `command` through the shell; its exit status (-1 when it did not
// exit), with standard output and error in *output.
int run_shell(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Why loop devices cannot be had here, or empty when they can.
std::string why_no_loop_devices() {
  if (::geteuid() != 0) return "needs root to set up loop devices";
  if (!fs::exists("/dev/loop-control"))
    return "no /dev/loop-control: this kernel has no loop devices";
  std::string output;
  if (run_shell("losetup --version", &output) != 0) return "no losetup: " + output;
  return {};
}

// A loop device over `file`, detached on destruction.
class LoopDevice {
 public:
  LoopDevice(const fs::path& file, int sector_size) {
    std::string output;
    const int status = run_shell(
        "losetup --find --show --sector-size " + std::to_string(sector_size) + " " + quoted(file),
        &output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    if (status == 0 && output.rfind("/dev/loop", 0) == 0) {
      device_ = output;
    } else {
      error_ = "losetup failed (" + std::to_string(status) + "): " + output;
    }
  }
  ~LoopDevice() {
    if (device_.empty()) return;
    std::string output;
    // A device still open somewhere is detached once its last user closes it.
    if (run_shell("losetup --detach " + device_, &output) != 0) {
      ADD_FAILURE() << "losetup --detach " << device_ << ": " << output;
    }
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& device() const { return device_; }
  const std::string& error() const { return error_; }

 private:
  std::string device_;
  std::string error_;
};

// `device` mounted on `folder`, unmounted on destruction.
class Mount {
 public:
  Mount(const std::string& device, const fs::path& folder) : folder_(folder) {
    fs::create_directories(folder);
    std::string output;
    mounted_ = run_shell("mount " + device + " " + quoted(folder), &output) == 0;
    if (!mounted_) error_ = output;
  }
  ~Mount() {
    std::string output;
    if (mounted_ && run_shell("umount " + quoted(folder_), &output) != 0) {
      ADD_FAILURE() << "umount " << folder_ << ": " << output;
    }
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  fs::path folder_;
  bool mounted_ = false;
  std::string error_;
};

// What a block device holds, `length` bytes from its start (through the
// device, as any reader after the run sees it).
std::vector<std::uint8_t> read_device(const std::string& device, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, bytes.data() + got, length - got, static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  return bytes;
}

// Writes through the device, so that its page cache and its file agree.
void write_device(const std::string& device, std::uint64_t offset,
                  const std::vector<std::uint8_t>& bytes) {
  const int fd = ::open(device.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << device;
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
}

class BlockDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = why_no_loop_devices(); !why.empty()) GTEST_SKIP() << why;
    fs::create_directories(dir_.devices());
  }

  // trvc's source disk 0 is `device`.
  void link_source(const std::string& device) {
    std::error_code ignored;
    fs::remove(dir_.drive(0), ignored);
    fs::create_symlink(device, dir_.drive(0));
  }

  RunResult copy(const TrvsProcess& server, const char* mode = nullptr) {
    std::vector<std::string> args = {"127.0.0.1", server.port_text(), "0", "1", "0"};
    if (mode) args.push_back(mode);
    return run_trvc(dir_, args);
  }

  TempDir dir_;
};

TEST_F(BlockDeviceTest, FullAndIncrementalCopiesBetweenLoopDevicesAreByteExact) {
  for (const int sector : {512, 4096}) {
    SCOPED_TRACE("logical sector " + std::to_string(sector));
    // 5 MiB and three sectors of 4096 bytes: the last chunk is short. Chunk
    // 2 is zeros, over a destination that holds data there.
    const std::size_t length = 5 * kMiB + 3 * 4096;
    std::vector<std::uint8_t> source = pattern(length, 21);
    std::fill(source.begin() + 2 * kMiB, source.begin() + 3 * kMiB, 0);
    const fs::path source_file = dir_.path() / "source.img";
    const fs::path dest_file = dir_.path() / "dest.img";
    write_file(source_file, source);
    write_file(dest_file, pattern(6 * kMiB, 22));
    LoopDevice source_loop(source_file, sector);
    LoopDevice dest_loop(dest_file, sector);
    ASSERT_TRUE(source_loop.error().empty()) << source_loop.error();
    ASSERT_TRUE(dest_loop.error().empty()) << dest_loop.error();
    link_source(source_loop.device());
    {
      TrvsProcess server({"1=" + dest_loop.device()});
      RunResult run = copy(server);
      ASSERT_EQ(run.exit_code, 0) << run.out << run.err << server.log_text();
      EXPECT_EQ(read_device(dest_loop.device(), length), source);
      EXPECT_NE(server.log_text().find("block device of " + std::to_string(6 * kMiB) + " bytes"),
                std::string::npos)
          << server.log_text();

      // Changed data in chunk 1, zeros over chunk 3's data, new data in the
      // last, short chunk.
      const std::vector<std::uint8_t> changed = pattern(kMiB, 23);
      const std::vector<std::uint8_t> zeros(kMiB, 0);
      const std::vector<std::uint8_t> tail = pattern(3 * 4096, 24);
      write_device(source_loop.device(), kMiB, changed);
      write_device(source_loop.device(), 3 * kMiB, zeros);
      write_device(source_loop.device(), 5 * kMiB, tail);
      std::copy(changed.begin(), changed.end(), source.begin() + kMiB);
      std::copy(zeros.begin(), zeros.end(), source.begin() + 3 * kMiB);
      std::copy(tail.begin(), tail.end(), source.begin() + 5 * kMiB);
      run = copy(server, "incremental_sync");
      ASSERT_EQ(run.exit_code, 0) << run.out << run.err << server.log_text();
      EXPECT_EQ(read_device(dest_loop.device(), length), source);
      EXPECT_NE(server.log_text().find("replicated 3 chunks"), std::string::npos)
          << server.log_text();
    }
    // The last chunk goes whole where the device reaches: its padding
    // follows the source's bytes.
    const std::vector<std::uint8_t> after = read_device(dest_loop.device(), 6 * kMiB);
    ASSERT_EQ(after.size(), 6 * kMiB);
    EXPECT_TRUE(std::all_of(after.begin() + static_cast<std::ptrdiff_t>(length), after.end(),
                            [](std::uint8_t byte) { return byte == 0; }));
  }
}

TEST_F(BlockDeviceTest, AMountedDestinationIsRefusedAndASmallOneFailsThePastTheEndChunk) {
  // A destination of 2 MiB for a source of 4 MiB and a bit: the chunks
  // before its end are written, the next is refused with 9 and the run
  // fails.
  const std::size_t length = 4 * kMiB + 512;
  const std::vector<std::uint8_t> source = pattern(length, 31);
  const fs::path source_file = dir_.path() / "source.img";
  const fs::path small_file = dir_.path() / "small.img";
  write_file(source_file, source);
  write_file(small_file, std::vector<std::uint8_t>(2 * kMiB, 0));
  LoopDevice source_loop(source_file, 512);
  LoopDevice small_loop(small_file, 512);
  ASSERT_TRUE(source_loop.error().empty()) << source_loop.error();
  ASSERT_TRUE(small_loop.error().empty()) << small_loop.error();
  link_source(source_loop.device());
  {
    TrvsProcess server({"1=" + small_loop.device()});
    const RunResult run = copy(server);
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    const std::string log = server.log_text();
    EXPECT_NE(log.find("failure 9 (past end): replicate disk 1 group "), std::string::npos) << log;
    EXPECT_NE(log.find("non-zero data beyond the end of the disk at " + std::to_string(2 * kMiB)),
              std::string::npos)
        << log;
  }
  EXPECT_EQ(read_device(small_loop.device(), 2 * kMiB),
            std::vector<std::uint8_t>(source.begin(), source.begin() + 2 * kMiB));

  // Mounted: trvs does not start.
  std::string output;
  if (run_shell("mkfs.ext4 -q -F " + small_loop.device(), &output) != 0) {
    GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) cannot make a file system to mount: " << output;
  }
  Mount mount(small_loop.device(), dir_.path() / "mnt");
  ASSERT_TRUE(mount.mounted()) << mount.error();
  const int status = run_shell("timeout -s KILL 60 " + std::string(TRVS_PATH) +
                                   " --listen 127.0.0.1:0 --disk 1=" + small_loop.device(),
                               &output);
  EXPECT_EQ(status, 2) << output;
  EXPECT_EQ(
      output.rfind("trvs: cannot serve disk 1 (" + small_loop.device() + "): mounted or in use", 0),
      0u)
      << output;
  EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
}

}  // namespace
}  // namespace e2e
