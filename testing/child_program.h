// One of our programs, trvc or trvs, run as a child of a test on spawn():
// its standard output goes to a file or to a pipe the test reads, its
// standard error to a file. A child the test did not wait for is killed and
// reaped on destruction, so no test leaves a process behind. Header-only;
// tests only. One thread uses an object, except that another may read the
// pipe through output_fd() (to drain it) until wait() has returned.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "testing/child_process.h"

namespace trv_testing {

// `program` with `arguments`, in the test process's environment with
// `environment` set. TRV_DEVICE_DIR and TRV_FAIL_CALL are left out unless
// `environment` sets them, so that nothing the test run was started with
// (or armed for the test process itself) leaks into the child.
inline Command program_command(
    const std::string& program, const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  Command command;
  command.argv.push_back(program);
  command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
  command.envp = environment_with(environment);
  std::erase_if(command.envp, [&](const std::string& entry) {
    for (const std::string name : {"TRV_DEVICE_DIR", "TRV_FAIL_CALL"}) {
      const bool asked = std::any_of(environment.begin(), environment.end(),
                                     [&](const auto& set) { return set.first == name; });
      if (!asked && entry.rfind(name + "=", 0) == 0) return true;
    }
    return false;
  });
  return command;
}

class ChildProgram {
 public:
  // Starts `command` in `cwd`. Standard output goes to `stdout_path`, or to
  // a pipe when it is empty; standard error to `stderr_path`. Throws when
  // a file, the pipe or the process cannot be made.
  ChildProgram(Command command, const std::filesystem::path& cwd,
               const std::filesystem::path& stdout_path, const std::filesystem::path& stderr_path) {
    int out_fd = -1;
    int pipe_fds[2] = {-1, -1};
    if (stdout_path.empty()) {
      if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
      out_fd = pipe_fds[1];
      output_ = pipe_fds[0];
    } else {
      out_fd = create(stdout_path);
    }
    const int err_fd = out_fd < 0 ? -1 : create(stderr_path);
    if (out_fd >= 0 && err_fd >= 0) pid_ = spawn(std::move(command), cwd, out_fd, err_fd);
    if (out_fd >= 0) ::close(out_fd);
    if (err_fd >= 0) ::close(err_fd);
    if (pid_ < 0) {
      if (output_ >= 0) ::close(output_);
      throw std::runtime_error("cannot create the child's output files");
    }
  }
  ~ChildProgram() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      (void)wait();
    }
    if (output_ >= 0) ::close(output_);
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Sends `number` unless the child has been reaped already.
  void signal(int number) {
    if (!reaped_) ::kill(pid_, number);
  }
  // False once the child has ended (it is then reaped).
  bool running() {
    if (reaped_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    reaped_ = true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  // Waits for the end; the exit code, or -1 when a signal ended it. Again
  // after the end, the same answer.
  int wait() {
    if (!reaped_) {
      exit_code_ = wait_for(pid_);
      reaped_ = true;
    }
    return exit_code_;
  }

  // From the pipe: the next line without its line end (empty when the
  // output ended first), and everything up to the output's end.
  std::string read_line() {
    std::string line;
    char c;
    while (::read(output_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  std::string read_rest() {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(output_, buffer, sizeof buffer)) > 0) text.append(buffer, n);
    return text;
  }
  // The pipe's read end, or -1; it stays this object's.
  int output_fd() const { return output_; }

 private:
  static int create(const std::filesystem::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }

  pid_t pid_ = -1;
  int output_ = -1;
  bool reaped_ = false;
  int exit_code_ = -1;
};

}  // namespace trv_testing
