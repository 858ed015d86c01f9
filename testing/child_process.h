// The tests' one way to start a child process: the command and its
// environment are prepared before the fork (the test process has threads, so
// the child may not allocate), the child dies with its parent, and its exit
// is waited for across signals. Header-only; tests only.
#pragma once

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace trv_testing {

// What execve gets: the program's path first in argv, and "NAME=value"
// entries.
struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> envp;
};

// The test process's environment with `changes` set, each replacing any
// entry of the same name.
inline std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& changes) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool replaced = std::any_of(changes.begin(), changes.end(),
                                [&](const auto& change) { return change.first == name; });
    if (!replaced) out.push_back(text);
  }
  for (const auto& [name, value] : changes) out.push_back(name + "=" + value);
  return out;
}

inline std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

// Starts `command` in `cwd` with the given descriptors as its standard output
// and error (-1: inherited). Everything the child needs is prepared before
// the fork, which matters because the test process has threads.
inline pid_t spawn(Command command, const std::filesystem::path& cwd, int out_fd, int err_fd) {
  std::vector<char*> argv = pointers(command.argv);
  std::vector<char*> envp = pointers(command.envp);
  std::string dir = cwd.string();
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (out_fd >= 0 && dup2(out_fd, 1) < 0) _exit(127);
    if (err_fd >= 0 && dup2(err_fd, 2) < 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// The exit code of `pid`, or -1 when a signal ended it.
inline int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace trv_testing
