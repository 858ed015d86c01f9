// Processes, files and the scripted server of the end-to-end tests (the
// client's log is read by testing/log_reader.h). Child processes are started
// from the test's main thread and get SIGKILL when that thread ends, so an
// aborted test run leaves none behind.
#include "tests/e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "digest/digest.h"
#include "testing/child_program.h"

extern char** environ;

namespace e2e {
namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::uint8_t> read_file(const fs::path& path) {
  return trv_testing::read_whole_file(path.string());
}

void make_sparse_file(const fs::path& path, std::uint64_t length) {
  { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
  fs::resize_file(path, length);
}

void write_at(const fs::path& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write into " + path.string());
}

// ---- Child processes ---------------------------------------------------------------

namespace {

using trv_testing::ChildProgram;
using trv_testing::Command;
using trv_testing::program_command;

}  // namespace

TrvcProcess::TrvcProcess(const TempDir& dir, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment)
    : dir_(dir) {
  auto changes = environment;
  changes.emplace_back("TRV_DEVICE_DIR", dir.devices().string());
  started_ = std::chrono::steady_clock::now();
  program_ = trv_testing::start_trvc(dir.path(), dir.path() / "trvc.out", dir.path() / "trvc.err",
                                     args, changes);
}

TrvcProcess::~TrvcProcess() = default;

void TrvcProcess::signal(int signal) { program_->signal(signal); }

bool TrvcProcess::running() { return program_->running(); }

RunResult TrvcProcess::wait() {
  RunResult result;
  result.exit_code = program_->wait();
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  result.out = trv_testing::read_bytes(dir_.path() / "trvc.out");
  result.err = trv_testing::read_bytes(dir_.path() / "trvc.err");
  result.log = read_log(dir_.path());
  return result;
}

RunResult run_trvc(const TempDir& dir, const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& environment) {
  return TrvcProcess(dir, args, environment).wait();
}

bool eventually(const std::function<bool()>& done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::uint16_t unused_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot find a free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

// ---- The scripted server -------------------------------------------------------------

ScriptedReplicationServer::ScriptedReplicationServer() = default;

ScriptedReplicationServer::~ScriptedReplicationServer() { server_.stop(); }

void ScriptedReplicationServer::start() {
  rpc::Status status = server_.start(*this);
  if (!status.is_ok()) throw std::runtime_error("scripted server: " + status.to_string());
}

int ScriptedReplicationServer::open_calls() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return open_calls_;
}

int ScriptedReplicationServer::close_calls() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return close_calls_;
}

std::vector<std::int16_t> ScriptedReplicationServer::dests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return dests_;
}

std::vector<std::uint64_t> ScriptedReplicationServer::replicated_offsets() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::uint64_t> out = replicated_;
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint64_t> ScriptedReplicationServer::compared_offsets() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::uint64_t> out = compared_;
  std::sort(out.begin(), out.end());
  return out;
}

int ScriptedReplicationServer::bad_digests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return bad_digests_;
}

int ScriptedReplicationServer::bad_lengths() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return bad_lengths_;
}

bool ScriptedReplicationServer::close_came_after_slow_answer() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return close_after_slow_;
}

std::vector<std::uint8_t> ScriptedReplicationServer::destination(std::uint64_t length) const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::uint8_t> out(length, 0);
  for (const auto& [offset, bytes] : chunks_) {
    if (offset >= length) continue;
    std::uint64_t n = std::min<std::uint64_t>(bytes.size(), length - offset);
    std::copy_n(bytes.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  return out;
}

void ScriptedReplicationServer::preload(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (std::uint64_t offset = 0; offset < bytes.size(); offset += kChunkLength) {
    std::vector<std::uint8_t> chunk(kChunkLength, 0);
    std::uint64_t n = std::min<std::uint64_t>(kChunkLength, bytes.size() - offset);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, chunk.begin());
    chunks_[offset] = std::move(chunk);
  }
}

std::optional<std::int32_t> ScriptedReplicationServer::open_device(const Caller&,
                                                                   std::int16_t dest) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++open_calls_;
  dests_.push_back(dest);
  return script.open_result;
}

std::optional<std::int32_t> ScriptedReplicationServer::replicate(const Caller&,
                                                                 const ReplicateRequest& args) {
  const auto offset = static_cast<std::uint64_t>(args.offset);
  const bool digest_ok =
      args.digest.size() == kDigestLength &&
      md5_of(args.data) == std::vector<std::uint8_t>(args.digest.begin(), args.digest.end());
  {
    std::lock_guard<std::mutex> hold(mutex_);
    dests_.push_back(args.dest);
    replicated_.push_back(offset);
    if (!digest_ok) ++bad_digests_;
    if (args.digest.size() != kDigestLength || args.data.size() != kChunkLength) ++bad_lengths_;
    if (script.store) chunks_[offset].assign(args.data.begin(), args.data.end());
  }
  if (script.replicate_fault_offset == offset) return script.replicate_result;
  if (script.slow_offset == offset) {
    std::this_thread::sleep_for(script.slow_delay);
    std::lock_guard<std::mutex> hold(mutex_);
    slow_answered_ = true;
    return script.slow_result;
  }
  return 100;
}

std::optional<std::int32_t> ScriptedReplicationServer::compare(const Caller&,
                                                               const CompareRequest& args) {
  const auto offset = static_cast<std::uint64_t>(args.offset);
  std::vector<std::uint8_t> stored(kChunkLength, 0);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    dests_.push_back(args.dest);
    compared_.push_back(offset);
    if (args.digest.size() != kDigestLength ||
        args.data_length != static_cast<std::int32_t>(kChunkLength)) {
      ++bad_lengths_;
    }
    auto found = chunks_.find(offset);
    if (found != chunks_.end()) stored = found->second;
  }
  if (script.compare_result) return script.compare_result;
  bool same = md5_of(stored) == std::vector<std::uint8_t>(args.digest.begin(), args.digest.end());
  return same ? 106 : 104;
}

std::optional<std::int32_t> ScriptedReplicationServer::close_device(const Caller&,
                                                                    std::int16_t dest) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++close_calls_;
  dests_.push_back(dest);
  close_after_slow_ = slow_answered_;
  return script.close_result;
}

void ScriptedReplicationServer::group_ended(std::uint32_t) {}

}  // namespace e2e
