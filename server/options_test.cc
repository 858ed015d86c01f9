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
    const CommandLine line =
        parse({"--listen", c.listen, "--allow", "any", "--disk", "1=/dev/null"});
    ASSERT_EQ(line.action, CommandLine::Action::Serve) << line.error;
    EXPECT_EQ(line.options.server.address, c.address);
    EXPECT_EQ(line.options.server.port, c.port);
  }
  const CommandLine with_equals = parse({"--listen=127.0.0.2:80", "--disk=3=/tmp/a=b"});
  ASSERT_EQ(with_equals.action, CommandLine::Action::Serve) << with_equals.error;
  EXPECT_EQ(with_equals.options.server.address, "127.0.0.2");
  ASSERT_EQ(with_equals.options.disks.size(), 1u);
  EXPECT_EQ(with_equals.options.disks[0].number, 3);
  EXPECT_EQ(with_equals.options.disks[0].path, "/tmp/a=b");
}

TEST(CommandLineTest, DefaultsToLoopbackOnAFreePortWithBothSyntaxes) {
  const CommandLine line = parse({"--disk", "1=/a", "--fixed-disk", "-2=/b:c"});
  ASSERT_EQ(line.action, CommandLine::Action::Serve) << line.error;
  EXPECT_EQ(line.options.server.address, "127.0.0.1");
  EXPECT_EQ(line.options.server.port, 0);
  EXPECT_TRUE(line.options.server.accept_ndr64);
  ASSERT_EQ(line.options.disks.size(), 2u);
  EXPECT_FALSE(line.options.disks[0].fixed_size);
  EXPECT_EQ(line.options.disks[1].number, -2);
  EXPECT_EQ(line.options.disks[1].path, "/b:c");
  EXPECT_TRUE(line.options.disks[1].fixed_size);
  EXPECT_FALSE(parse({"--ndr20-only", "--disk", "1=/a"}).options.server.accept_ndr64);
  EXPECT_EQ(line.options.server.limits.idle_timeout_ms, 180 * 1000);
  EXPECT_EQ(parse({"--idle-timeout", "2", "--disk", "1=/a"}).options.server.limits.idle_timeout_ms,
            2 * 1000);
  EXPECT_EQ(parse({"--disk", "1=/a", "--idle-timeout=86400"}).options.server.limits.idle_timeout_ms,
            86400 * 1000);
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

TEST(CommandLineTest, LogFormatAndVersion) {
  EXPECT_EQ(parse({"--disk", "1=/a"}).options.log_format, LogFormat::Text);
  const CommandLine json = parse({"--log-format", "json", "--disk", "1=/a"});
  ASSERT_EQ(json.action, CommandLine::Action::Serve) << json.error;
  EXPECT_EQ(json.options.log_format, LogFormat::Json);
  EXPECT_EQ(parse({"--log-format=text", "--disk", "1=/a"}).options.log_format, LogFormat::Text);
  for (const auto& args : {std::vector<std::string>{"--log-format", "JSON", "--disk", "1=/a"},
                           {"--disk", "1=/a", "--log-format"},
                           {"--version=1", "--disk", "1=/a"}}) {
    const CommandLine refused = parse(args);
    EXPECT_EQ(refused.action, CommandLine::Action::Reject) << args[0];
    EXPECT_FALSE(refused.error.empty());
  }
  // --version needs no disk, and wins over what follows it.
  EXPECT_EQ(parse({"--version"}).action, CommandLine::Action::Version);
  EXPECT_EQ(parse({"--version", "--frobnicate"}).action, CommandLine::Action::Version);
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

TEST(CommandLineTest, DigestMapFolderServesEveryDiskAndMustBeAFolder) {
  trvs_testing::ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  const std::string folder = scratch.path().string();
  const std::string file = (scratch.path() / "disk.img").string();
  std::ofstream(file).put('x');
  CommandLine line = parse({"--disk", "1=" + file, "--digest-map=" + folder, "--disk", "2=x"});
  ASSERT_EQ(line.options.disks.size(), 2u) << line.error;
  EXPECT_EQ(line.options.disks[1].digest_map_dir, folder);
  EXPECT_EQ(parse({"--disk", "1=" + file, "--digest-map", folder, "--digest-map", folder}).error,
            "--digest-map: given twice");
  EXPECT_EQ(parse({"--disk", "1=" + file, "--digest-map="}).error,
            "--digest-map: the folder is missing");

  DiskConfig disk{1, file, false};
  disk.digest_map_dir = folder;
  EXPECT_EQ(check_disk_paths({disk}), "");
  disk.digest_map_dir = file;
  EXPECT_EQ(check_disk_paths({disk}), "--digest-map: " + file + " is not a folder");
  disk.digest_map_dir = folder + "/missing";
  EXPECT_EQ(check_disk_paths({disk}),
            "--digest-map: " + folder + "/missing: No such file or directory");
}

}  // namespace

namespace {

// Beyond loopback the allow list is all that stands between the network and
// the disks, so trvs refuses to start there without one.
TEST(TrustOptionsTest, ListeningBeyondLoopbackNeedsAnAllowList) {
  for (const std::string listen : {"0.0.0.0:4747", "192.0.2.1:4747", "[::]:4747", "[2001:db8::1]:1",
                                   "example.com:1", "localhost.example.com:1", "128.0.0.1:1"}) {
    SCOPED_TRACE(listen);
    const CommandLine refused = parse({"--listen", listen, "--disk", "1=/a"});
    EXPECT_EQ(refused.action, CommandLine::Action::Reject);
    EXPECT_NE(refused.error.find("--allow"), std::string::npos) << refused.error;
    const CommandLine allowed =
        parse({"--listen", listen, "--disk", "1=/a", "--allow", "192.0.2.0/24"});
    EXPECT_EQ(allowed.action, CommandLine::Action::Serve) << allowed.error;
  }
  for (const std::string listen :
       {"127.0.0.1:1", "127.255.0.9:1", "[::1]:1", "localhost:1", "[::ffff:127.0.0.1]:1"}) {
    SCOPED_TRACE(listen);
    const CommandLine line = parse({"--listen", listen, "--disk", "1=/a"});
    EXPECT_EQ(line.action, CommandLine::Action::Serve) << line.error;
    EXPECT_TRUE(line.options.server.allow.empty());
  }
}

TEST(TrustOptionsTest, AllowListsLimitsUserAndVerifyDisks) {
  const CommandLine line = parse({"--allow", "10.0.0.0/8", "--allow=::1", "--allow", "any",
                                  "--disk", "1=/a", "--verify-disk", "2=/b", "--max-connections",
                                  "20", "--max-peer-connections=3", "--user", "nobody:nogroup"});
  ASSERT_EQ(line.action, CommandLine::Action::Serve) << line.error;
  ASSERT_EQ(line.options.server.allow.size(), 3u);
  EXPECT_EQ(rpc::address_range_text(line.options.server.allow[0]), "10.0.0.0/8");
  EXPECT_TRUE(line.options.server.allow[2].any);
  ASSERT_EQ(line.options.disks.size(), 2u);
  EXPECT_FALSE(line.options.disks[0].read_only);
  EXPECT_TRUE(line.options.disks[1].read_only);
  EXPECT_EQ(line.options.server.limits.max_connections, 20u);
  EXPECT_EQ(line.options.server.limits.max_connections_per_peer, 3u);
  EXPECT_EQ(line.options.user, "nobody");
  EXPECT_EQ(line.options.group, "nogroup");

  const CommandLine defaults = parse({"--disk", "1=/a", "--user", "daemon"});
  EXPECT_EQ(defaults.options.server.limits.max_connections, 512u);
  EXPECT_EQ(defaults.options.server.limits.max_connections_per_peer, 288u);
  EXPECT_EQ(defaults.options.user, "daemon");
  EXPECT_EQ(defaults.options.group, "");
  EXPECT_EQ(defaults.options.disks[0].max_size, 0);  // the file system's size, see DiskStore

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--disk", "1=/a", "--allow", "10.1.0.0/8"}, "--allow"},
      {{"--disk", "1=/a", "--allow", "host.example"}, "--allow"},
      {{"--disk", "1=/a", "--allow", "10.0.0.0/33"}, "--allow"},
      {{"--disk", "1=/a", "--max-connections", "0"}, "--max-connections"},
      {{"--disk", "1=/a", "--max-connections", "65537"}, "--max-connections"},
      {{"--disk", "1=/a", "--max-peer-connections", "-1"}, "--max-peer-connections"},
      {{"--disk", "1=/a", "--user", ""}, "--user"},
      {{"--disk", "1=/a", "--user", "nobody:"}, "--user"},
      {{"--disk", "1=/a", "--user", ":root"}, "--user"},
      {{"--disk", "1=/a", "--verify-disk", "1=/b"}, "given twice"},
  };
  for (const auto& [args, part] : refused) {
    SCOPED_TRACE(args.back());
    const CommandLine bad = parse(args);
    EXPECT_EQ(bad.action, CommandLine::Action::Reject);
    EXPECT_NE(bad.error.find(part), std::string::npos) << bad.error;
  }
}

TEST(TrustOptionsTest, MaxSizeTakesPowersOf1024AndNamesAServedDisk) {
  std::int64_t bytes = 0;
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::int64_t>>{
           {"1", 1},
           {"4096", 4096},
           {"64K", 65536},
           {"3m", 3 * 1048576},
           {"2G", std::int64_t{2} << 30},
           {"16T", std::int64_t{16} << 40},
           {"17592186044416", std::int64_t{16} << 40}}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(parse_size(text, &bytes));
    EXPECT_EQ(bytes, expected);
  }
  for (const std::string text :
       {"", "0", "0K", "-1", "+1", "1P", "K", "1.5G", "8388608T", "99999999999999999999"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_size(text, &bytes));
  }
  // The disk may come after its --max-size.
  const CommandLine line = parse({"--max-size", "2=1G", "--disk", "1=/a", "--disk", "2=/b"});
  ASSERT_EQ(line.action, CommandLine::Action::Serve) << line.error;
  EXPECT_EQ(line.options.disks[0].max_size, 0);
  EXPECT_EQ(line.options.disks[1].max_size, std::int64_t{1} << 30);
  EXPECT_NE(parse({"--disk", "1=/a", "--max-size", "3=1G"}).error.find("disk 3 is not served"),
            std::string::npos);
  EXPECT_NE(parse({"--disk", "1=/a", "--max-size", "1=1G", "--max-size", "1=2G"})
                .error.find("given twice"),
            std::string::npos);
  EXPECT_NE(parse({"--disk", "1=/a", "--max-size", "1=lots"}).error.find("--max-size"),
            std::string::npos);
}

}  // namespace
