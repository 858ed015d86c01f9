// An independent decoder's opinion of our wire format: captures a bind,
// calls, a fragmented call and a fault against the server on loopback and
// lets Wireshark's DCE/RPC dissector read them. Skipped when tshark/dumpcap
// are not installed or capturing is not permitted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "dcerpc/server.h"
#include "dcerpc/server_testing.h"
#include "testing/temporary_directory.h"

namespace rpc {
namespace {

using testing::RawClient;
using testing::TestDispatcher;

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

// dumpcap on the loopback interface, stopped (and reaped) on destruction.
class Capture {
 public:
  bool start(std::uint16_t port, const std::string& file) {
    file_ = file;
    port_ = port;
    pid_ = fork();
    if (pid_ == 0) {
      signal(SIGINT, SIG_DFL);
      signal(SIGTERM, SIG_DFL);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      const std::string filter = "port " + std::to_string(port);
      execlp("dumpcap", "dumpcap", "-q", "-i", "lo", "-f", filter.c_str(), "-w", file.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid_ > 0;
  }

  // dumpcap announces itself before its capture is live and writes packets
  // to the file in batches. Both are settled by sending UDP datagrams with a
  // marker to the captured port (nobody listens; they only need to be seen)
  // until one shows up in the file: false if dumpcap exited first.
  bool sync(const std::string& marker) {
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool seen = false;
    while (!seen) {
      sendto(udp, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::ifstream in(file_, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      seen = bytes.find(marker) != std::string::npos;
    }
    close(udp);
    return seen;
  }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }
  ~Capture() { stop(); }

 private:
  pid_t pid_ = -1;
  std::string file_;
  std::uint16_t port_ = 0;
};

TEST(TsharkTest, DissectorFindsNothingMalformed) {
  if (!on_path("tshark") || !on_path("dumpcap")) GTEST_SKIP() << "tshark/dumpcap not installed";

  const trv_testing::TemporaryDirectory directory("trv-tshark");
  ASSERT_TRUE(directory.ok());
  const std::filesystem::path& dir = directory.path();
  const std::string file = (dir / "exchange.pcapng").string();

  TestDispatcher dispatcher;
  const std::unique_ptr<Server> server = testing::start_test_server(&dispatcher);
  ASSERT_NE(server, nullptr);
  const std::uint16_t port = server->port();

  Capture capture;
  if (!capture.start(port, file) || !capture.sync("rpcwire capture is live")) {
    GTEST_SKIP() << "cannot capture on lo";
  }

  {
    RawClient client(port);
    ASSERT_EQ(client.bind_windows_style(), 1);
    RawClient::Answer answer;
    // A small call, a call fragmented like a 1 MiB chunk (shortened), and
    // a fault for an unknown opnum.
    ASSERT_TRUE(client.send_request(2, 1, 0, std::vector<std::uint8_t>{3, 0}).is_ok());
    ASSERT_TRUE(client.read_answer(&answer).is_ok());
    std::vector<std::uint8_t> big(3 * 5816 + 100, 0xAA);
    ASSERT_TRUE(client.send_request(3, 1, 0, big, 5816).is_ok());
    ASSERT_TRUE(client.read_answer(&answer).is_ok());
    EXPECT_EQ(answer.stub.size(), big.size());
    ASSERT_TRUE(client.send_request(4, 1, 9, std::vector<std::uint8_t>{0, 0}).is_ok());
    ASSERT_TRUE(client.read_answer(&answer).is_ok());
    EXPECT_TRUE(answer.fault);
  }
  {
    // A join with an unknown group: bind_nak.
    RawClient client(port);
    ASSERT_TRUE(client.send(encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0x77)))
                    .is_ok());
    std::vector<std::uint8_t> pdu;
    ASSERT_TRUE(client.read_pdu(&pdu).is_ok());
  }
  testing::wait_for_open_connections(*server, 0);
  // Everything sent before this marker is in the file once it is.
  ASSERT_TRUE(capture.sync("rpcwire exchange is over"));
  capture.stop();
  server->stop();

  const std::string decoded =
      run("tshark -n -r '" + file + "' -d tcp.port==" + std::to_string(port) +
          ",dcerpc -Y dcerpc -V 2>&1");
  // What the exchange must show.
  for (const char* expected :
       {"Packet type: Bind (11)", "Packet type: Bind_ack (12)", "Packet type: Request (0)",
        "Packet type: Response (2)", "Packet type: Fault (3)", "Packet type: Bind_nak (13)",
        "64bit NDR", "Negotiate ACK", "nca_op_rng_error"}) {
    EXPECT_NE(decoded.find(expected), std::string::npos) << "missing: " << expected;
  }
  if (getenv("RPCWIRE_DUMP")) std::fputs(decoded.c_str(), stdout);
  EXPECT_EQ(decoded.find("Malformed"), std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("Expert Info (Error"), std::string::npos) << decoded;
}

}  // namespace
}  // namespace rpc
