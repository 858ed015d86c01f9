// The log as a whole process sees it: the file made new by the first line,
// the echo on the two streams, and the ways the log's creation or a line's
// write can fail (on Windows, where the failure hook is not built, only
// the ones that need no hook). trvc is run with a mode keyword it refuses,
// which logs the three start lines and exits without touching any disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/trvc_usage_testing.h"
#include "platform/text.h"
#include "platform/win32.h"
#include "testing/log_reader.h"
#include "testing/trvc_process.h"

namespace {

namespace fs = std::filesystem;
using trv_testing::ProcessResult;
using Texts = std::vector<std::wstring>;

const std::vector<std::string> kThreeStartLines = {"127.0.0.1", "9", "4", "5", "6", "full"};

class LogProcessTest : public testing::Test {
 protected:
  void SetUp() override { fs::create_directory(work()); }

  fs::path work() const { return root_.path() / "work"; }
  fs::path log_path() const { return work() / "TRV.log"; }

  ProcessResult run(const std::vector<std::string>& arguments,
                    std::vector<std::pair<std::string, std::string>> environment = {}) {
    environment.emplace_back("TRV_DEVICE_DIR", (root_.path() / "devices").string());
    return trv_testing::run_trvc(work(), root_.path(), arguments, environment);
  }

  Texts file_lines() const { return trv_testing::file_lines(trv_testing::read_bytes(log_path())); }

 private:
  trv_testing::TemporaryDirectory root_;
};

TEST_F(LogProcessTest, FirstLineTruncatesAnEarlierLog) {
  trv_testing::write_bytes(log_path(), std::string(1000, '\x7F'));
  const ProcessResult result = run(kThreeStartLines);
  EXPECT_EQ(result.status, 255);
  const std::string bytes = trv_testing::read_bytes(log_path());
  EXPECT_EQ(bytes.substr(0, 2), std::string("[\0", 2));
  EXPECT_EQ(bytes.find('\x7F'), std::string::npos);
  EXPECT_EQ(trv_testing::messages(file_lines(), L"INFO"),
            (Texts{L"start trvc, src_disk_index: 4", L"start trvc, dest_disk_index: 5",
                   L"start trvc, bandwidth_limit: 6"}));
  EXPECT_EQ(file_lines().size(), 3u);
}

TEST_F(LogProcessTest, EachLevelIsEchoedWholeToItsOwnStream) {
  // Two Info start lines, then an Error line for the refused bandwidth.
  const ProcessResult result = run({"127.0.0.1", "9", "4", "5", "many"});
  EXPECT_EQ(result.status, 255);
  const Texts file = file_lines();
  ASSERT_EQ(file.size(), 3u);
  EXPECT_EQ(result.out, to_utf8(file[0] + L"\n" + file[1] + L"\n") + trvc_testing::usage_text());
  EXPECT_EQ(result.err, to_utf8(file[2] + L"\n"));

  trv_testing::LogLine first, error;
  ASSERT_TRUE(trv_testing::parse_line(file[0], &first));
  ASSERT_TRUE(trv_testing::parse_line(file[2], &error));
  EXPECT_EQ(error.level, "ERROR");
  EXPECT_EQ(error.pid, first.pid);
  // All three lines come from the main thread.
  EXPECT_EQ(error.tid, first.tid);
#ifndef _WIN32
  // On Linux the main thread's id is the process id.
  EXPECT_EQ(first.tid, first.pid);
#endif
}

TEST_F(LogProcessTest, LogHeldByAnotherOpenerEndsTheProcessWithStatusOne) {
  const std::wstring path = from_utf8(log_path().string());
  HANDLE held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(held, "held", 4, &written, nullptr));

  const ProcessResult result = run(kThreeStartLines);
  CloseHandle(held);

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Open log file failed, error code: 32\n");
  // The line that tried to create the log is written nowhere.
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(trv_testing::read_bytes(log_path()), "held");
}

TEST_F(LogProcessTest, LogThatCannotBeCreatedEndsTheProcessWithStatusOne) {
  fs::create_directory(log_path());
  const ProcessResult result = run(kThreeStartLines);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Open log file failed, error code: 5\n");
  EXPECT_EQ(result.out, "");
}

// The rest needs our Win32 emulation's failure hook, or a POSIX pipe
// without a reader: Linux only.
#ifndef _WIN32
TEST_F(LogProcessTest, LockThatCannotBeCreatedEndsTheProcessBeforeTheFileExists) {
  const ProcessResult result =
      run(kThreeStartLines, {{"TRV_FAIL_CALL", "InitializeCriticalSectionAndSpinCount:8"}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Init log guard failed, error code: 8\n");
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fs::exists(log_path()));
}

TEST_F(LogProcessTest, FailedWritesAreReportedAndTheLinesStillEchoed) {
  // Every write fails; the file stays empty, the console shows everything.
  const ProcessResult result = run(kThreeStartLines, {{"TRV_FAIL_CALL", "WriteFile:112:0:0"}});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err,
            "Write log file failed, error code: 112\n"
            "Write log file failed, error code: 112\n"
            "Write log file failed, error code: 112\n");
  const Texts console = trv_testing::console_lines(result.out);
  ASSERT_EQ(console.size(), 5u);
  EXPECT_EQ(trv_testing::messages(console, L"INFO").size(), 3u);
  EXPECT_EQ(trv_testing::read_bytes(log_path()), "");

  // Only the second write fails: the other lines reach the file.
  const ProcessResult second = run(kThreeStartLines, {{"TRV_FAIL_CALL", "WriteFile:29:1:1"}});
  EXPECT_EQ(second.err, "Write log file failed, error code: 29\n");
  EXPECT_EQ(trv_testing::messages(file_lines(), L"INFO"),
            (Texts{L"start trvc, src_disk_index: 4", L"start trvc, bandwidth_limit: 6"}));
}

TEST_F(LogProcessTest, ReaderOfTheEchoThatHasGoneAwayDoesNotEndTheProcess) {
  // Standard output is a pipe whose only reader is closed before trvc
  // starts, so its writes fail at once, every time.
  const fs::path pipe = work().parent_path() / "echo";
  const fs::path status = work().parent_path() / "status";
  std::string command = "cd " + trvc_testing::shell_quote(work().string()) + " && mkfifo " +
                        trvc_testing::shell_quote(pipe.string()) + " && exec 3<>" +
                        trvc_testing::shell_quote(pipe.string()) + " 4>" +
                        trvc_testing::shell_quote(pipe.string()) + " 3<&- && " +
                        trvc_testing::shell_quote(TRVC_PATH);
  for (const std::string& argument : kThreeStartLines) {
    command += " " + trvc_testing::shell_quote(argument);
  }
  command += " >&4 2>/dev/null; echo $? >" + trvc_testing::shell_quote(status.string());
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(trv_testing::read_bytes(status), "255\n");
  EXPECT_EQ(trv_testing::messages(file_lines(), L"INFO").size(), 3u);
}

#endif

}  // namespace
