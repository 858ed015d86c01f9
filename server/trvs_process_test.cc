// trvs as a real process: its command line, its port line, its stop on
// SIGTERM and SIGINT, and the four procedures through a raw DCE/RPC client
// on loopback, several connections sharing one association group.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dcerpc/pdu.h"
#include "dcerpc/socket.h"
#include "gtest/gtest.h"
#include "server/status.h"
#include "server/testing.h"
#include "service/interface.h"
#include "service/server_result.h"
#include "service/service_ndr.h"
#include "testing/child_program.h"
#include "testing/pdu_reader.h"
#include "testing/raw_rpc_client.h"
#include "testing/trvs_process.h"
#include "trv_version.h"

namespace {

using trvs_testing::Bytes;
using trvs_testing::md5_of;

using trv_testing::ChildProgram;
using trv_testing::start_trvs;

// A client of one connection and one presentation context, on the shared raw
// client's typed calls.
class RawClient {
 public:
  // Binds into `group` (0 = a new group) with one transfer syntax.
  ::testing::AssertionResult connect(std::uint16_t port, std::uint32_t group, rpc::Syntax syntax) {
    syntax_ = syntax;
    client_ = std::make_unique<rpc::testing::RawClient>(port);
    return client_->bind_service(syntax, group, &group_);
  }
  std::uint32_t group() const { return group_; }
  void close() { client_.reset(); }

  std::optional<std::int32_t> open_device(std::int16_t dest) { return client_->open_device(dest); }
  std::optional<std::int32_t> close_device(std::int16_t dest) {
    return client_->close_device(dest);
  }
  std::optional<std::int32_t> replicate(std::int16_t dest, std::int64_t offset, const Bytes& data) {
    return client_->replicate(syntax_, dest, offset, data);
  }
  std::optional<std::int32_t> compare(std::int16_t dest, std::int64_t offset, const Bytes& data) {
    return client_->compare(syntax_, dest, offset, data);
  }
  // A replicate too large for one fragment (a whole chunk), in fragments.
  std::optional<std::int32_t> replicate_in_fragments(std::int16_t dest, std::int64_t offset,
                                                     const Bytes& data) {
    const auto stub = encode_replicate_request(syntax_, dest, offset, md5_of(data), data);
    if (!client_->send_request(++fragmented_calls_ + 1000000, 0, kReplicateOpnum, stub, 4096)
             .is_ok()) {
      return std::nullopt;
    }
    rpc::testing::RawClient::Answer answer;
    std::int32_t result = 0;
    if (!client_->read_answer(&answer).is_ok() || answer.fault ||
        !decode_result_response(answer.stub, &result).is_ok()) {
      return std::nullopt;
    }
    return result;
  }

 private:
  std::unique_ptr<rpc::testing::RawClient> client_;
  rpc::Syntax syntax_ = rpc::Syntax::Ndr20;
  std::uint32_t group_ = 0;
  std::uint32_t fragmented_calls_ = 0;
};

class TrvsProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    image_ = (dir_ / "disk.img").string();
    std::ofstream(image_).flush();
    log_path_ = (dir_ / "trvs.log").string();
  }
  void TearDown() override { trvs_.reset(); }

  // Starts trvs serving disk 1 on a free loopback port; returns the port.
  std::uint16_t start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--disk", "1=" + image_};
    args.insert(args.end(), extra.begin(), extra.end());
    trvs_ = start_trvs(args, log_path_);
    const std::string line = trvs_->read_line();
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
      ADD_FAILURE() << "first line: \"" << line << "\"; log:\n" << log();
      return 0;
    }
    return static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
  }

  std::string log() {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Waits, without a deadline of its own, until the log shows `text` or the
  // server has ended.
  bool wait_for_log(const std::string& text) {
    while (log().find(text) == std::string::npos) {
      if (!trvs_->running()) return log().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  Bytes read_image() { return trv_testing::read_whole_file(image_); }

  trvs_testing::ScratchDir scratch_;
  const std::filesystem::path& dir_ = scratch_.path();
  std::string image_;
  std::string log_path_;
  std::unique_ptr<ChildProgram> trvs_;
};

TEST_F(TrvsProcessTest, PrintsItsPortAndStopsCleanlyOnSigterm) {
  const std::uint16_t port = start();
  ASSERT_NE(port, 0);
  rpc::Socket socket;
  ASSERT_TRUE(rpc::connect_tcp("127.0.0.1", port, &socket).is_ok());
  socket.close();
  trvs_->signal(SIGTERM);
  EXPECT_EQ(trvs_->wait(), 0);
  EXPECT_EQ(trvs_->read_rest(), "");  // the port line is the only output
  const std::string text = log();
  EXPECT_NE(text.find("] listening on 127.0.0.1:" + std::to_string(port)), std::string::npos);
  EXPECT_NE(text.find("] stopping on SIGTERM\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] stopped\n"), std::string::npos) << text;
  // The hashing figures are for whoever asks for them.
  EXPECT_EQ(text.find("digests:"), std::string::npos) << text;
}

TEST_F(TrvsProcessTest, SigintFlushesAndClosesAnOpenDisk) {
  const std::uint16_t port = start();
  ASSERT_NE(port, 0);
  RawClient client;
  ASSERT_TRUE(client.connect(port, 0, rpc::Syntax::Ndr20));
  ASSERT_EQ(client.open_device(1), Opened);
  const Bytes data(4096, 0x5a);
  ASSERT_EQ(client.replicate(1, 0, data), Replicated);
  trvs_->signal(SIGINT);
  EXPECT_EQ(trvs_->wait(), 0);
  const std::string text = log();
  EXPECT_NE(text.find("disk 1 closed for group " + std::to_string(client.group()) + " (shutdown)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("replicated 1 chunks (4096 bytes written)"), std::string::npos) << text;
  EXPECT_EQ(read_image(), data);
}

// A kill leaves the map as the open's first write left it: the next trvs
// reads the image; a stop on SIGTERM saves it.
// Each client stays connected through the signal, so that no close of its
// group comes first.
TEST_F(TrvsProcessTest, AKilledServerLeavesADigestMapThatIsNotTrusted) {
  const std::string maps = (dir_ / "maps").string();
  std::filesystem::create_directory(maps);
  const Bytes first = trvs_testing::pattern(1048576, 1);
  const Bytes second = trvs_testing::pattern(1048576, 2);
  std::uint16_t port = start({"--digest-map", maps});
  ASSERT_NE(port, 0);
  RawClient killed;
  ASSERT_TRUE(killed.connect(port, 0, rpc::Syntax::Ndr20));
  ASSERT_EQ(killed.open_device(1), Opened);
  ASSERT_EQ(killed.replicate_in_fragments(1, 0, first), Replicated);
  ASSERT_EQ(killed.close_device(1), Closed);
  ASSERT_TRUE(wait_for_log("saved: 1 chunks known")) << log();
  ASSERT_EQ(killed.open_device(1), Opened);
  ASSERT_TRUE(wait_for_log("used: 1 chunks known")) << log();
  ASSERT_EQ(killed.replicate_in_fragments(1, 1048576, second), Replicated);
  trvs_->signal(SIGKILL);
  EXPECT_EQ(trvs_->wait(), -1);
  killed.close();

  port = start({"--digest-map", maps});
  ASSERT_NE(port, 0);
  RawClient stopped;
  ASSERT_TRUE(stopped.connect(port, 0, rpc::Syntax::Ndr20));
  ASSERT_EQ(stopped.open_device(1), Opened);
  EXPECT_TRUE(wait_for_log("not used (not closed cleanly)")) << log();
  EXPECT_EQ(stopped.compare(1, 0, first), Identical);
  EXPECT_EQ(stopped.compare(1, 1048576, second), Identical);
  trvs_->signal(SIGTERM);
  EXPECT_EQ(trvs_->wait(), 0);
  stopped.close();
  EXPECT_NE(log().find("saved: 2 chunks known, 0 compares answered from it"), std::string::npos)
      << log();
  EXPECT_NE(log().find("(shutdown)"), std::string::npos) << log();
}

TEST_F(TrvsProcessTest, ServesOneGroupThroughSeveralConnectionsAndClosesWhenTheyEnd) {
  const std::uint16_t port = start();
  ASSERT_NE(port, 0);
  RawClient opener;
  ASSERT_TRUE(opener.connect(port, 0, rpc::Syntax::Ndr20));
  ASSERT_EQ(opener.open_device(1), Opened);
  ASSERT_EQ(opener.open_device(2), UnknownDisk);

  RawClient writer;  // the same group, the other transfer syntax
  ASSERT_TRUE(writer.connect(port, opener.group(), rpc::Syntax::Ndr64));
  ASSERT_EQ(writer.group(), opener.group());
  Bytes data(4000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
  EXPECT_EQ(writer.compare(1, 1048576, data), Differs);
  EXPECT_EQ(writer.replicate(1, 1048576, data), Replicated);
  EXPECT_EQ(opener.compare(1, 1048576, data), Identical);

  RawClient stranger;  // another group: the disk is taken
  ASSERT_TRUE(stranger.connect(port, 0, rpc::Syntax::Ndr20));
  EXPECT_NE(stranger.group(), opener.group());
  EXPECT_EQ(stranger.open_device(1), Busy);
  EXPECT_EQ(stranger.replicate(1, 0, data), NotOpen);

  // The disk stays open while any connection of its group remains.
  opener.close();
  EXPECT_EQ(writer.replicate(1, 0, data), Replicated);
  writer.close();
  ASSERT_TRUE(wait_for_log("disk 1 closed for group " + std::to_string(opener.group()) +
                           " (connection ended): replicated 2 chunks (8000 bytes written), "
                           "compared 2 (identical 1, different 1), failures 0"))
      << log();
  EXPECT_EQ(stranger.open_device(1), Opened);
  EXPECT_EQ(stranger.close_device(1), Closed);
  EXPECT_EQ(stranger.close_device(1), NotOpen);

  const Bytes image = read_image();
  ASSERT_EQ(image.size(), 1048576 + data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 1048576));
  trvs_->signal(SIGTERM);
  EXPECT_EQ(trvs_->wait(), 0);
}

TEST_F(TrvsProcessTest, Ndr20OnlyRefusesAnNdr64OnlyBind) {
  const std::uint16_t port = start({"--ndr20-only"});
  ASSERT_NE(port, 0);
  RawClient ndr64;
  EXPECT_FALSE(ndr64.connect(port, 0, rpc::Syntax::Ndr64));
  RawClient ndr20;
  ASSERT_TRUE(ndr20.connect(port, 0, rpc::Syntax::Ndr20));
  EXPECT_EQ(ndr20.open_device(1), Opened);
  EXPECT_NE(log().find("(NDR 2.0 only)"), std::string::npos) << log();
  trvs_->signal(SIGTERM);
  EXPECT_EQ(trvs_->wait(), 0);
}

TEST_F(TrvsProcessTest, JsonLogHasOneObjectPerEvent) {
  const std::uint16_t port = start({"--log-format", "json", "--log-digests"});
  ASSERT_NE(port, 0);
  RawClient client;
  ASSERT_TRUE(client.connect(port, 0, rpc::Syntax::Ndr20));
  ASSERT_EQ(client.open_device(1), Opened);
  ASSERT_EQ(client.replicate(1, 0, Bytes(512, 0x11)), Replicated);
  ASSERT_EQ(client.close_device(1), Closed);
  ASSERT_EQ(client.close_device(1), NotOpen);
  trvs_->signal(SIGTERM);
  EXPECT_EQ(trvs_->wait(), 0);
  const std::string text = log();
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_EQ(line.rfind("{\"time\":\"", 0), 0u) << line;
    EXPECT_EQ(line.back(), '}') << line;
  }
  EXPECT_GE(count, 6) << text;
  const std::string group = std::to_string(client.group());
  EXPECT_NE(text.find(R"("event":"disk_closed","disk":1,"group":)" + group +
                      R"(,"code":null,"reason":"close_device","figures":{"replicated":1,)"
                      R"("bytes_written":512,"compared":0,"identical":0,"different":0,)"
                      R"("failures":0})"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(R"("event":"failure","disk":1,"group":)" + group +
                      R"(,"code":3,"code_name":"not open","procedure":"close_device")"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(R"("event":"digests","disk":null,"group":null,"code":null,)"
                      R"("figures":{"digests":1,"steps":)"),
            std::string::npos)
      << text;
}

class TrvsCommandLineTest : public TrvsProcessTest {
 protected:
  // Runs trvs to its end; returns the exit code and its standard output.
  int run(const std::vector<std::string>& args, std::string* output) {
    trvs_ = start_trvs(args, log_path_);
    *output = trvs_->read_rest();
    return trvs_->wait();
  }
};

TEST_F(TrvsCommandLineTest, BadArgumentsGiveOneLineAndAHintAndExitCode2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--disk", "1"},
      {"--disk", "70000=" + image_},
      {"--listen", "127.0.0.1", "--disk", "1=" + image_},
      {"--disk", "1=" + image_, "--frobnicate"},
      {"--disk", "1=" + image_, "--log-format", "xml"},
      {"--disk", "1=" + image_, "--listen"},
      {"--disk", "1=" + image_, "--log-digests=yes"},
  };
  const std::string hint = "\nTry 'trvs --help' for more information.\n";
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& arg : args) joined += arg + " ";
    SCOPED_TRACE(joined);
    std::string output;
    EXPECT_EQ(run(args, &output), 2);
    EXPECT_EQ(output, "");
    const std::string text = log();
    EXPECT_EQ(text.rfind("trvs: ", 0), 0u) << text;
    // One line and the hint, nothing else.
    ASSERT_GT(text.size(), hint.size()) << text;
    EXPECT_EQ(text.substr(text.size() - hint.size()), hint) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  }
  // A disk that cannot be served is told in one line that names the fix.
  std::string output;
  const std::string missing = (dir_ / "missing.img").string();
  EXPECT_EQ(run({"--disk", "1=" + missing}, &output), 2);
  EXPECT_EQ(output, "");
  EXPECT_EQ(log().rfind("trvs: disk 1: " + missing +
                            ": No such file or directory; create the image first, e.g. install -o ",
                        0),
            0u)
      << log();
  EXPECT_EQ(log().find('\n'), log().size() - 1) << log();
  EXPECT_EQ(run({"--help"}, &output), 0);
  EXPECT_EQ(output.rfind("usage: trvs", 0), 0u) << output;
  EXPECT_NE(output.find("\ntrvs " TRV_VERSION "\n"), std::string::npos) << output;
  EXPECT_EQ(run({"--version"}, &output), 0);
  EXPECT_EQ(output, "trvs " TRV_VERSION "\n");
}

TEST_F(TrvsCommandLineTest, AnAddressThatCannotBeBoundFailsWithExitCode1) {
  std::string output;
  // TEST-NET-1 is never assigned to this machine.
  EXPECT_EQ(
      run({"--listen", "192.0.2.1:0", "--allow", "127.0.0.1", "--disk", "1=" + image_}, &output),
      1);
  EXPECT_EQ(output, "");
  EXPECT_NE(log().find("] cannot listen on 192.0.2.1:0: Cannot assign requested address\n"),
            std::string::npos)
      << log();
  // A port in use is told in the system's words, without the runtime's
  // status number.
  rpc::Listener taken;
  ASSERT_TRUE(taken.listen("127.0.0.1", 0).is_ok());
  const std::string endpoint = "127.0.0.1:" + std::to_string(taken.port());
  EXPECT_EQ(run({"--listen", endpoint, "--disk", "1=" + image_}, &output), 1);
  EXPECT_NE(log().find("] cannot listen on " + endpoint + ": Address already in use\n"),
            std::string::npos)
      << log();
}

}  // namespace
