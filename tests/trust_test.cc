// trvs as a real process under the rules that decide whom it serves and how:
// the allow list, the disks checked at start, giving up root, read-only
// verification, the growth bound, the failure log's flood bound, and a copy
// carried through a TLS tunnel. Everything listens on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "dcerpc/server_testing.h"
#include "service/service_ndr.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

struct Exit {
  int code = -1;
  std::string err;
};

// Runs `argv` to its end with standard output discarded and standard error
// kept. A child that has not ended after a minute is killed (code -1), so a
// trvs that wrongly starts serving fails the test instead of hanging it.
Exit run_to_end(const std::vector<std::string>& argv, const TempDir& dir) {
  const fs::path err_path = dir.path() / "run.err";
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int out = open("/dev/null", O_WRONLY);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  Exit result;
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
    if (waited == 600) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
  std::ifstream in(err_path);
  std::stringstream text;
  text << in.rdbuf();
  result.err = text.str();
  return result;
}

bool is_root() { return geteuid() == 0; }

// The Uid line of /proc/PID/status: real, effective, saved, file system.
std::string uid_line(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) == 0) return line;
  }
  return {};
}

bool any_message_has(const RunResult& run, const std::string& text) {
  for (const auto& line : run.log) {
    if (line.message.find(text) != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> copy_args(std::uint16_t port, const char* mode = nullptr) {
  std::vector<std::string> args = {"127.0.0.1", std::to_string(port), "0", "1", "0"};
  if (mode) args.push_back(mode);
  return args;
}

class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_.devices()); }
  TempDir dir_;
};

// ---- Who may start it, and on what ----------------------------------------------------

TEST_F(TrustTest, ListeningBeyondLoopbackWithoutAnAllowListIsRefused) {
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  // TEST-NET-1: refused by the argument check, nothing is bound or sent.
  const Exit exit =
      run_to_end({TRVS_PATH, "--listen", "192.0.2.1:4747", "--disk", "1=" + image.string()}, dir_);
  EXPECT_EQ(exit.code, 2);
  EXPECT_EQ(exit.err.rfind("trvs: --listen 192.0.2.1 reaches beyond this machine", 0), 0u)
      << exit.err;
  EXPECT_NE(exit.err.find("\nTry 'trvs --help' for more information.\n"), std::string::npos);
}

TEST_F(TrustTest, ADiskThatCannotBeServedStopsTheStart) {
  const fs::path missing = dir_.path() / "missing.img";
  Exit exit = run_to_end({TRVS_PATH, "--disk", "1=" + missing.string()}, dir_);
  EXPECT_EQ(exit.code, 2);
  EXPECT_NE(exit.err.find("disk 1: " + missing.string()), std::string::npos) << exit.err;

  exit = run_to_end({TRVS_PATH, "--disk", "2=" + dir_.devices().string()}, dir_);
  EXPECT_EQ(exit.code, 2);
  EXPECT_NE(exit.err.find("disk 2: " + dir_.devices().string() +
                          " is neither a block device nor a regular file"),
            std::string::npos)
      << exit.err;

  // Served by an ordinary user that cannot write the image.
  if (!is_root() || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
  const fs::path image = dir_.path() / "root-only.img";
  write_file(image, pattern(kMiB, 1));
  ASSERT_EQ(chmod(image.c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=nobody",
                                              "--regid=nogroup", "--clear-groups", TRVS_PATH};
  std::vector<std::string> args = as_nobody;
  args.insert(args.end(), {"--disk", "3=" + image.string()});
  exit = run_to_end(args, dir_);
  EXPECT_EQ(exit.code, 2);
  EXPECT_NE(exit.err.find("trvs: cannot serve disk 3 (" + image.string() +
                          "): open for reading and writing: Permission denied"),
            std::string::npos)
      << exit.err;
  // --user without root to give up.
  args = as_nobody;
  args.insert(args.end(), {"--disk", "3=" + image.string(), "--user", "nobody"});
  exit = run_to_end(args, dir_);
  EXPECT_EQ(exit.code, 2);
  EXPECT_NE(exit.err.find("trvs: --user: trvs is not running as root"), std::string::npos)
      << exit.err;
}

// Started as root, trvs opens an image only root may write, gives up root,
// and still writes the image through the descriptor it opened.
TEST_F(TrustTest, AfterGivingUpRootTheDisksOpenedAtStartAreStillWritten) {
  if (!is_root()) GTEST_SKIP() << "needs root";
  const std::vector<std::uint8_t> source = pattern(5 * kMiB, 2);
  write_file(dir_.drive(0), source);
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  ASSERT_EQ(chmod(image.c_str(), 0600), 0);
  // nobody must be able to look the path up, not to open it.
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  TrvsProcess server({"1=" + image.string()}, {"--user", "nobody"});
  const std::string uids = uid_line(server.pid());
  ASSERT_FALSE(uids.empty());
  std::istringstream fields(uids.substr(4));
  for (int i = 0; i < 4; ++i) {
    long uid = -1;
    fields >> uid;
    EXPECT_NE(uid, 0) << uids;
  }
  const RunResult run = run_trvc(dir_, copy_args(server.port()));
  EXPECT_EQ(run.exit_code, 0) << server.log_text();
  EXPECT_EQ(read_file(image), source);
  EXPECT_NE(server.log_text().find("running as nobody (uid "), std::string::npos);
  EXPECT_EQ(server.stop(), 0);
}

// A client that connects while trvs starts waits in the backlog until root
// is given up: no connection is handled, and so no call made, as root.
TEST_F(TrustTest, NoConnectionIsHandledBeforeRootIsGivenUp) {
  if (!is_root()) GTEST_SKIP() << "needs root";
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  // A free port, known before trvs binds it.
  std::uint16_t port = 0;
  {
    rpc::Listener probe;
    ASSERT_TRUE(probe.listen("127.0.0.1", 0).is_ok());
    port = probe.port();
  }
  // Knocks from an address outside the allow list until trvs listens; the
  // connection's line then tells when it was handled.
  std::atomic<bool> connected{false};
  std::jthread knocker([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in from{};
      from.sin_family = AF_INET;
      from.sin_addr.s_addr = htonl(0x7f000002);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
          connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        connected = true;
        close(fd);
        return;
      }
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  TrvsProcess server({"1=" + image.string()}, {"--listen", "127.0.0.1:" + std::to_string(port),
                                               "--user", "nobody", "--allow", "127.0.0.1"});
  ASSERT_EQ(server.port(), port) << server.log_text();
  knocker.join();
  ASSERT_TRUE(connected.load());
  std::string log;
  ASSERT_TRUE(eventually([&] {
    log = server.log_text();
    return log.find("refused connection from 127.0.0.2") != std::string::npos;
  })) << log;
  const std::size_t root_given_up = log.find("root given up");
  const std::size_t listening = log.find("listening on 127.0.0.1:");
  ASSERT_NE(root_given_up, std::string::npos) << log;
  EXPECT_LT(root_given_up, listening) << log;
  EXPECT_LT(listening, log.find("refused connection from 127.0.0.2")) << log;
  EXPECT_EQ(server.stop(), 0);
}

// ---- Verification and bounds ----------------------------------------------------------

TEST_F(TrustTest, AVerifyDiskNamesTheDifferingChunkAndIsNeverWritten) {
  std::vector<std::uint8_t> source = pattern(6 * kMiB, 3);
  write_file(dir_.drive(0), source);
  const fs::path image = dir_.path() / "copy.img";
  write_file(image, source);
  const std::vector<std::uint8_t> copy = read_file(image);
  {
    TrvsProcess server({}, {"--verify-disk", "1=" + image.string()});
    const RunResult run = run_trvc(dir_, copy_args(server.port(), "incremental_sync"));
    EXPECT_EQ(run.exit_code, 0) << server.log_text();
  }
  const std::uint64_t changed = 2 * kMiB;
  source[changed + 100] ^= 0xff;
  write_file(dir_.drive(0), source);
  TrvsProcess server({}, {"--verify-disk", "1=" + image.string()});
  const RunResult run = run_trvc(dir_, copy_args(server.port(), "incremental_sync"));
  EXPECT_EQ(run.exit_code, 1);
  const std::string log = server.log_text();
  EXPECT_NE(log.find("failure 12 (read-only): replicate disk 1 group "), std::string::npos) << log;
  EXPECT_NE(log.find("offset " + std::to_string(changed) + ": "), std::string::npos) << log;
  EXPECT_TRUE(any_message_has(run, "offset: " + std::to_string(changed)));
  EXPECT_EQ(read_file(image), copy);
}

// More differing chunks than trvc keeps in flight: each one is named, none
// is written, and the pass still reaches the end of the disk.
TEST_F(TrustTest, AVerificationPassNamesEveryDifferingChunk) {
  std::vector<std::uint8_t> source = pattern(40 * kMiB, 5);
  const fs::path image = dir_.path() / "copy.img";
  write_file(image, source);
  std::vector<std::uint64_t> changed;
  for (std::uint64_t chunk = 1; chunk < 40; chunk += 2) {
    source[chunk * kMiB + 7] ^= 0x5a;
    changed.push_back(chunk * kMiB);
  }
  write_file(dir_.drive(0), source);
  const std::vector<std::uint8_t> before = read_file(image);
  TrvsProcess server({}, {"--verify-disk", "1=" + image.string()});
  const RunResult run = run_trvc(dir_, copy_args(server.port(), "incremental_sync"));
  EXPECT_EQ(run.exit_code, 1);
  ASSERT_GT(changed.size(), 16u);
  for (std::uint64_t offset : changed) {
    EXPECT_NE(find_message(run.log, "Replicate failed, offset: " + std::to_string(offset) +
                                        ", error code : 12"),
              -1)
        << offset;
  }
  EXPECT_EQ(count_prefix(run.log, "Replicate failed, offset: "), static_cast<int>(changed.size()));
  EXPECT_EQ(read_file(image), before);
}

TEST_F(TrustTest, AnImageDoesNotGrowPastItsMaximumSize) {
  write_file(dir_.drive(0), pattern(4 * kMiB, 4));
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  TrvsProcess server({"1=" + image.string()}, {"--max-size", "1=2M"});
  const RunResult run = run_trvc(dir_, copy_args(server.port()));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(server.log_text().find("failure 9 (past end): replicate disk 1 group "),
            std::string::npos);
  EXPECT_LE(fs::file_size(image), 2 * kMiB);
}

// ---- The log and the allow list -------------------------------------------------------

// One connection pipelining open_device on a disk that is not served: the
// log holds a few lines and the count, not one line per call.
TEST_F(TrustTest, APeerRepeatingAFailingCallCannotFloodTheLog) {
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  TrvsProcess server({"1=" + image.string()});
  {
    rpc::testing::RawClient client(server.port());
    rpc::BindAck ack;
    const int context = client.bind_windows_style(0, &ack);
    ASSERT_GE(context, 0);
    std::uint8_t stub[kDeviceRequestSize];
    encode_device_request(9, stub);
    constexpr int kCalls = 2000;
    for (std::uint32_t id = 2; id < 2 + kCalls; ++id) {
      ASSERT_TRUE(
          client.send_request(id, static_cast<std::uint16_t>(context), kOpenDeviceOpnum, stub, 5816)
              .is_ok());
    }
    for (int i = 0; i < kCalls; ++i) {
      rpc::testing::RawClient::Answer answer;
      ASSERT_TRUE(client.read_answer(&answer).is_ok()) << i;
    }
  }
  EXPECT_EQ(server.stop(), 0);
  const std::string log = server.log_text();
  int lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_LE(lines, 30) << log;
  EXPECT_NE(log.find("failures from 127.0.0.1: more than 10 lines in 10 s"), std::string::npos)
      << log;
  EXPECT_NE(log.find("lines suppressed"), std::string::npos) << log;
}

TEST_F(TrustTest, APeerOutsideTheAllowListIsRefused) {
  write_file(dir_.drive(0), pattern(kMiB, 5));
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  TrvsProcess server({"1=" + image.string()}, {"--allow", "::1"});
  const RunResult run = run_trvc(dir_, copy_args(server.port()));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(fs::file_size(image) == 0);
  EXPECT_NE(server.log_text().find("not in the allow list"), std::string::npos)
      << server.log_text();
}

// ---- Through a TLS tunnel --------------------------------------------------------------

// stunnel in the foreground, as a child of the test: killed and reaped when
// this goes.
class Stunnel {
 public:
  Stunnel(const std::string& binary, const fs::path& config, const fs::path& log) {
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      execl(binary.c_str(), binary.c_str(), config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Stunnel() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Stunnel(const Stunnel&) = delete;
  Stunnel& operator=(const Stunnel&) = delete;

 private:
  pid_t pid_ = -1;
};

// Waits until something accepts connections on 127.0.0.1:port.
bool wait_listening(std::uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    rpc::Socket socket;
    if (rpc::connect_tcp("127.0.0.1", port, &socket).is_ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST_F(TrustTest, AFullCopyThroughAStunnelTunnelOnLoopback) {
  std::string binary;
  for (const char* candidate : {"/usr/bin/stunnel4", "/usr/bin/stunnel"}) {
    if (access(candidate, X_OK) == 0) {
      binary = candidate;
      break;
    }
  }
  if (binary.empty()) GTEST_SKIP() << "stunnel4 is not installed";
  const fs::path key = dir_.path() / "key.pem";
  const fs::path cert = dir_.path() / "cert.pem";
  const std::string openssl =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=trvs"
      " -keyout " +
      key.string() + " -out " + cert.string() + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(openssl.c_str()), 0);

  const std::vector<std::uint8_t> source = pattern(7 * kMiB + 4096, 6);
  write_file(dir_.drive(0), source);
  const fs::path image = dir_.path() / "dest.img";
  write_file(image, {});
  TrvsProcess server({"1=" + image.string()});
  const std::uint16_t server_side = unused_port();
  std::uint16_t client_side = unused_port();
  while (client_side == server_side) client_side = unused_port();

  const fs::path server_conf = dir_.path() / "server.conf";
  std::ofstream(server_conf) << "foreground = yes\npid =\n[trvs]\naccept = 127.0.0.1:"
                             << server_side << "\nconnect = 127.0.0.1:" << server.port()
                             << "\ncert = " << cert.string() << "\nkey = " << key.string() << "\n";
  const fs::path client_conf = dir_.path() / "client.conf";
  std::ofstream(client_conf) << "foreground = yes\npid =\n[trvs]\nclient = yes\naccept = "
                                "127.0.0.1:"
                             << client_side << "\nconnect = 127.0.0.1:" << server_side
                             << "\nverifyPeer = yes\nCAfile = " << cert.string() << "\n";
  Stunnel tunnel_server(binary, server_conf, dir_.path() / "stunnel-server.log");
  Stunnel tunnel_client(binary, client_conf, dir_.path() / "stunnel-client.log");
  ASSERT_TRUE(wait_listening(server_side));
  ASSERT_TRUE(wait_listening(client_side));

  const RunResult run = run_trvc(dir_, copy_args(client_side));
  EXPECT_EQ(run.exit_code, 0) << server.log_text();
  std::vector<std::uint8_t> copied = read_file(image);
  ASSERT_GE(copied.size(), source.size());
  copied.resize(source.size());
  EXPECT_EQ(copied, source);
}

}  // namespace
}  // namespace e2e
