// The tests' one way to start trvs, the program the build made (TRVS_PATH,
// which a test target that starts it defines): start_trvs() for a test that
// watches the process itself (its first line, its exit, a refused command
// line), and TrvsProcess for one that only needs a server on a loopback
// port, serving the given disks, until it stops it. Linux only;
// header-only; tests only; one thread per object (TrvsProcess drains the
// server's standard output on a thread of its own).
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/child_program.h"
#include "testing/log_reader.h"
#include "testing/temporary_directory.h"

namespace trv_testing {

// trvs with `args`, in the test's working directory, its standard output on
// a pipe and its standard error in the file `stderr_path`. `open_files_limit`
// above 0: started through a shell that sets both limits first (trvs raises
// its soft limit to the hard one) and becomes trvs, keeping the pid.
inline std::unique_ptr<ChildProgram> start_trvs(const std::vector<std::string>& args,
                                                const std::filesystem::path& stderr_path,
                                                int open_files_limit = 0) {
  Command command = program_command(TRVS_PATH, args);
  if (open_files_limit > 0) {
    command.argv.insert(command.argv.begin(), {"/bin/sh", "-c",
                                               "ulimit -n " + std::to_string(open_files_limit) +
                                                   " && exec \"$0\" \"$@\""});
  }
  return std::make_unique<ChildProgram>(std::move(command), std::filesystem::current_path(),
                                        std::filesystem::path(), stderr_path);
}

// The port of trvs's first line ("listening on ADDRESS:PORT, ..."), or 0.
inline std::uint16_t announced_port(const std::string& line) {
  const std::size_t colon = line.rfind(':', line.find(','));
  if (colon == std::string::npos) return 0;
  std::size_t end = colon + 1;
  while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
  if (end == colon + 1 || end - colon - 1 > 5) return 0;
  const int port = std::stoi(line.substr(colon + 1, end - colon - 1));
  return port > 0 && port < 65536 ? static_cast<std::uint16_t>(port) : 0;
}

// trvs listening on a free port of 127.0.0.1 with --disk for each of
// `disks` ("N=PATH") and `options` after them; stopped with SIGTERM by
// stop() or the destructor. Throws when it does not announce its port.
class TrvsProcess {
 public:
  explicit TrvsProcess(const std::vector<std::string>& disks,
                       const std::vector<std::string>& options = {}, int open_files_limit = 0) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0"};
    for (const std::string& disk : disks) {
      args.push_back("--disk");
      args.push_back(disk);
    }
    args.insert(args.end(), options.begin(), options.end());
    program_ = start_trvs(args, log_dir_.path() / "trvs.err", open_files_limit);
    const std::string first_line = program_->read_line();
    port_ = announced_port(first_line);
    if (port_ == 0) {
      stop();
      throw std::runtime_error("trvs did not announce its port: '" + first_line + "'");
    }
    // Keep reading so that the server never blocks on a full pipe.
    drain_ = std::thread([fd = program_->output_fd()] {
      char buffer[4096];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
    });
  }
  ~TrvsProcess() { stop(); }
  TrvsProcess(const TrvsProcess&) = delete;
  TrvsProcess& operator=(const TrvsProcess&) = delete;

  std::uint16_t port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }
  pid_t pid() const { return program_ ? program_->pid() : -1; }  // -1 once stopped
  // Everything the server has logged so far.
  std::string log_text() const { return read_bytes(log_dir_.path() / "trvs.err"); }
  // Stops the server and returns its exit status.
  int stop() {
    if (!program_) return -1;
    program_->signal(SIGTERM);
    const int status = program_->wait();
    if (drain_.joinable()) drain_.join();
    program_.reset();
    return status;
  }

 private:
  TemporaryDirectory log_dir_;
  std::unique_ptr<ChildProgram> program_;
  std::uint16_t port_ = 0;
  std::thread drain_;
};

}  // namespace trv_testing
