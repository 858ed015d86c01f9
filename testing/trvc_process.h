// The tests' one way to start trvc, the program the build made: in a chosen
// working directory, with `environment` added to the test's own (but
// TRV_DEVICE_DIR and TRV_FAIL_CALL only as the test gives them, so that
// nothing the test run was started with leaks in), its standard output and
// error written to files. On Linux a ChildProgram (testing/child_program.h)
// of TRVC_PATH, which a test that may start trvc runs until it ends or kills
// on destruction; on Windows trvc.exe beside the test program, started with
// CreateProcessW (testing/trvc_process_windows.h). Header-only; tests only;
// one thread per object.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/log_reader.h"
#ifndef _WIN32
#include "testing/child_program.h"
#endif

namespace trv_testing {

struct ProcessResult {
  int status = -1;  // 0..255 as the shell reports it; -1 when it did not exit
  std::string out;
  std::string err;
};

#ifndef _WIN32
// trvc started with `arguments`, running until it is waited for.
inline std::unique_ptr<ChildProgram> start_trvc(
    const std::filesystem::path& working_directory, const std::filesystem::path& out,
    const std::filesystem::path& err, const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment) {
  return std::make_unique<ChildProgram>(program_command(TRVC_PATH, arguments, environment),
                                        working_directory, out, err);
}

inline int run_trvc_process(const std::filesystem::path& working_directory,
                            const std::filesystem::path& out, const std::filesystem::path& err,
                            const std::vector<std::string>& arguments,
                            const std::vector<std::pair<std::string, std::string>>& environment) {
  return start_trvc(working_directory, out, err, arguments, environment)->wait();
}

inline std::string console_output(const std::filesystem::path& path) { return read_bytes(path); }
#endif

}  // namespace trv_testing

#ifdef _WIN32
#include "testing/trvc_process_windows.h"
#endif

namespace trv_testing {

// Runs trvc with `arguments` (without the program name) in
// `working_directory` and waits for it; its streams go through the files
// stdout and stderr in `scratch`.
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

}  // namespace trv_testing
