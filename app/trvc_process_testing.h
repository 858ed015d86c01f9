// Test helper: runs the trvc program built beside the test executable as a
// real process, in a chosen working directory and environment, and collects
// its exit status and both output streams. Header-only; tests only. The
// Windows build starts trvc.exe with CreateProcessW instead
// (trvc_process_windows_testing.h).
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "log/log_file_testing.h"
#ifndef _WIN32
#include "testing/child_program.h"
#endif

namespace trvc_testing {

struct ProcessResult {
  int status = -1;  // 0..255 as the shell reports it
  std::string out;
  std::string err;
};

#ifndef _WIN32
inline std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// trvc sits in the same build folder as the test programs of app/.
inline std::filesystem::path trvc_path() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "trvc";
}

inline int run_trvc_process(const std::filesystem::path& working_directory,
                            const std::filesystem::path& out, const std::filesystem::path& err,
                            const std::vector<std::string>& arguments,
                            const std::vector<std::pair<std::string, std::string>>& environment) {
  return trv_testing::ChildProgram(
             trv_testing::program_command(trvc_path().string(), arguments, environment),
             working_directory, out, err)
      .wait();
}

inline std::string console_output(const std::filesystem::path& path) {
  return log_testing::read_bytes(path);
}
#endif

inline const std::string& usage_text() {
  static const std::string usage =
      "Tarvo Utility\n"
      "Client Usage: TRVC.exe server_addr server_port src_disk_index dest_disk_index "
      "bandwidth_limit [incremental_sync | last_incremental_sync] \n";
  return usage;
}

}  // namespace trvc_testing

#ifdef _WIN32
#include "app/trvc_process_windows_testing.h"
#endif

namespace trvc_testing {

// Runs trvc with `arguments` (without the program name) in `working_directory`.
// The device folder and the failure hook are always set explicitly, so that
// nothing leaks in from the environment of the test run; `environment` adds
// to them. The captured streams are written to files in `scratch`.
inline ProcessResult run_trvc(
    const std::filesystem::path& working_directory, const std::filesystem::path& scratch,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  const std::filesystem::path out = scratch / "stdout";
  const std::filesystem::path err = scratch / "stderr";
  ProcessResult result;
  result.status = run_trvc_process(working_directory, out, err, arguments, environment);
  result.out = console_output(out);
  result.err = console_output(err);
  return result;
}

}  // namespace trvc_testing
