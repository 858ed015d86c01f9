// Helpers for the platform's own tests: the tests' temporary directory
// (testing/temporary_directory.h), and a way to run the current test program again as
// a child process with extra environment (for what only a second process or
// a fresh environment can show). Test code only.
#pragma once

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/text.h"
#include "testing/scoped_environment.h"
#include "testing/temporary_directory.h"

extern char** environ;

namespace trv::platform::testing {

using TempDir = trv_testing::TemporaryDirectory;

using trv_testing::ScopedEnvironment;

inline void write_file(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs this test program again with `extra` ("NAME=value") added to the
// environment and waits for it; returns its exit status, or -1 if it could
// not be run or did not exit normally. The child is told to list the tests
// only, so a child that ignores its environment exits with 0.
inline int run_self_with(const std::vector<std::string>& extra) {
  std::vector<std::string> env_strings(extra);
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  std::vector<char*> env;
  for (auto& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string list = "--gtest_list_tests";
  char* argv[] = {self.data(), list.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, env.data()) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace trv::platform::testing
