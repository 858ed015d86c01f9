// The trvs command line: what is accepted, and that every refusal names the
// argument instead of serving something other than what was asked.
#include "server/options.h"

#include <filesystem>
#include <fstream>

#include "gtest/gtest.h"
#include "server/testing.h"

namespace {

CommandLine parse(std::vector<std::string> args) { return parse_command_line(args); }

TEST(CommandLineTest, AcceptsListenAddressesOfEveryForm) {
  struct Case {
    std::string listen;
    std::string address;
    std::uint16_t port;
  };
  for (const Case& c :
       {Case{"127.0.0.1:4747", "127.0.0.1", 4747}, Case{"[::1]:0", "::1", 0},
        Case{"localhost:65535", "localhost", 65535}, Case{"[fe80::1%lo]:9", "fe80::1%lo", 9}}) {
    SCOPED_TRACE(c.listen);
    const CommandLine line = parse({"--listen", c.listen, "--disk", "1=/dev/null"});
    ASSERT_EQ(line.action, CommandLine::Action::Serve) << line.error;
    EXPECT_EQ(line.options.listen_address, c.address);
    EXPECT_EQ(line.options.port, c.port);
  }
  const CommandLine with_equals = parse({"--listen=127.0.0.2:80", "--disk=3=/tmp/a=b"});
  ASSERT_EQ(with_equals.action, CommandLine::Action::Serve) << with_equals.error;
  EXPECT_EQ(with_equals.options.listen_address, "127.0.0.2");
  ASSERT_EQ(with_equals.options.disks.size(), 1u);
  EXPECT_EQ(with_equals.options.disks[0].number, 3);
  EXPECT_EQ(with_equals.options.disks[0].path, "/tmp/a=b");
}

TEST(CommandLineTest, DefaultsToLoopbackOnAFreePortWithBothSyntaxes) {
  const CommandLine line = parse({"--disk", "1=/a", "--fixed-disk", "-2=/b:c"});
  ASSERT_EQ(line.action, CommandLine::Action::Serve) << line.error;
  EXPECT_EQ(line.options.listen_address, "127.0.0.1");
  EXPECT_EQ(line.options.port, 0);
  EXPECT_TRUE(line.options.accept_ndr64);
  ASSERT_EQ(line.options.disks.size(), 2u);
  EXPECT_FALSE(line.options.disks[0].fixed_size);
  EXPECT_EQ(line.options.disks[1].number, -2);
  EXPECT_EQ(line.options.disks[1].path, "/b:c");
  EXPECT_TRUE(line.options.disks[1].fixed_size);
  EXPECT_FALSE(parse({"--ndr20-only", "--disk", "1=/a"}).options.accept_ndr64);
  EXPECT_EQ(line.options.idle_timeout_seconds, 180);
  EXPECT_EQ(parse({"--idle-timeout", "2", "--disk", "1=/a"}).options.idle_timeout_seconds, 2);
  EXPECT_EQ(parse({"--disk", "1=/a", "--idle-timeout=86400"}).options.idle_timeout_seconds, 86400);
}

TEST(CommandLineTest, RefusesWhatItCannotServeExactly) {
  struct Case {
    std::vector<std::string> args;
    std::string error_part;
  };
  const std::vector<Case> cases = {
      {{}, "at least one --disk"},
      {{"--listen", "127.0.0.1:1"}, "at least one --disk"},
      {{"--disk"}, "--disk: a value is missing"},
      {{"--disk", "1"}, "expected N=PATH"},
      {{"--disk", "1="}, "expected N=PATH"},
      {{"--disk", "=/a"}, "disk number"},
      {{"--disk", "32768=/a"}, "disk number"},  // would wrap to -32768
      {{"--disk", "65537=/a"}, "disk number"},  // would wrap to 1
      {{"--disk", "-32769=/a"}, "disk number"},
      {{"--disk", "1x=/a"}, "disk number"},
      {{"--disk", "+1=/a"}, "disk number"},
      {{"--disk", "1=/a", "--fixed-disk", "1=/b"}, "given twice"},
      {{"--listen", "127.0.0.1", "--disk", "1=/a"}, "expected ADDR:PORT"},
      {{"--listen", "::1:80", "--disk", "1=/a"}, "brackets"},
      {{"--listen", "[::1]80", "--disk", "1=/a"}, "[IPV6]:PORT"},
      {{"--listen", ":80", "--disk", "1=/a"}, "address is missing"},
      {{"--listen", "127.0.0.1:65536", "--disk", "1=/a"}, "port"},
      {{"--listen", "127.0.0.1:-1", "--disk", "1=/a"}, "port"},
      {{"--listen", "127.0.0.1:", "--disk", "1=/a"}, "port"},
      {{"--listen", "127.0.0.1:8x", "--disk", "1=/a"}, "port"},
      {{"--disk", "1=/a", "--idle-timeout", "0"}, "--idle-timeout"},
      {{"--disk", "1=/a", "--idle-timeout", "86401"}, "--idle-timeout"},
      {{"--disk", "1=/a", "--idle-timeout", "-5"}, "--idle-timeout"},
      {{"--disk", "1=/a", "--idle-timeout", "2s"}, "--idle-timeout"},
      {{"--disk", "1=/a", "--idle-timeout", "99999999999999"}, "--idle-timeout"},
      {{"--disk", "1=/a", "--idle-timeout"}, "--idle-timeout: a value is missing"},
      {{"--disk", "1=/a", "extra"}, "unknown argument \"extra\""},
      {{"--disk", "1=/a", "--verbose"}, "unknown argument \"--verbose\""},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined);
    const CommandLine line = parse(c.args);
    EXPECT_EQ(line.action, CommandLine::Action::Reject);
    EXPECT_NE(line.error.find(c.error_part), std::string::npos) << line.error;
  }
  EXPECT_EQ(parse({"--disk", "nonsense", "--help"}).action, CommandLine::Action::Reject);
  EXPECT_EQ(parse({"--help", "--disk", "nonsense"}).action, CommandLine::Action::Help);
}

TEST(CommandLineTest, DiskPathsMustNameAFileOrABlockDevice) {
  trvs_testing::ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  const std::filesystem::path& dir = scratch.path();
  const std::string file = (dir / "disk.img").string();
  std::ofstream(file).put('x');
  EXPECT_EQ(check_disk_paths({{1, file, false}}), "");
  EXPECT_NE(
      check_disk_paths({{1, file, false}, {2, (dir / "missing").string(), false}}).find("disk 2: "),
      std::string::npos);
  EXPECT_NE(check_disk_paths({{1, dir.string(), false}}).find("neither"), std::string::npos);
  EXPECT_NE(check_disk_paths({{1, "/dev/null", false}}).find("neither"), std::string::npos);
}

}  // namespace
