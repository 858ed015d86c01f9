// The log file's exact bytes, the console echo and the lock, checked in this
// test process, whose logger lives in a temporary working directory.
#include "log/logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/text.h"
#include "platform/win32.h"
#include "testing/log_reader.h"

namespace {

using trv_testing::LogLine;

// The logger creates ".\TRV.log" once per process, in the working directory
// of its first use; every test of this program shares that file.
testing::Environment* const log_directory =
    testing::AddGlobalTestEnvironment(new trv_testing::TemporaryWorkingDirectory);

std::wstring local_timestamp() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  wchar_t buffer[40];
  const int length = std::swprintf(buffer, 40, L"%04u-%02u-%02u %02u:%02u:%02u",
                                   unsigned{local.wYear}, unsigned{local.wMonth},
                                   unsigned{local.wDay}, unsigned{local.wHour},
                                   unsigned{local.wMinute}, unsigned{local.wSecond});
  return std::wstring(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

class LoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    Logger::instance();
    start_ = std::filesystem::file_size("TRV.log");
  }
  void TearDown() override { clear_injected_failures(); }

  // What this test appended to the file.
  std::string new_bytes() const { return trv_testing::read_bytes("TRV.log").substr(start_); }
  std::vector<std::wstring> new_lines() const { return trv_testing::file_lines(new_bytes()); }

  static LogLine parsed(const std::wstring& text) {
    LogLine line;
    EXPECT_TRUE(trv_testing::parse_line(text, &line)) << "not a log line: " << text.size();
    return line;
  }

 private:
  std::uintmax_t start_ = 0;
};

TEST_F(LoggerTest, LineIsUtf16LeInTheFixedLayoutEndedByALineFeedOnly) {
  const std::wstring before = local_timestamp();
  Logger::instance().info(L"Open device succ, disk size: 42");
  const std::wstring after = local_timestamp();

  const std::string bytes = new_bytes();
  ASSERT_EQ(bytes.size() % 2, 0u);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), std::string("\x0A\x00", 2));
  EXPECT_EQ(bytes.find(std::string("\x0D\x00", 2)), std::string::npos);
  for (std::size_t i = 1; i < bytes.size(); i += 2) EXPECT_EQ(bytes[i], '\0') << "at " << i;

  const std::vector<std::wstring> lines = new_lines();
  ASSERT_EQ(lines.size(), 1u);
  const LogLine line = parsed(lines[0]);
  EXPECT_EQ(line.level, "INFO");
  EXPECT_EQ(line.pid, GetCurrentProcessId());
  EXPECT_EQ(line.tid, GetCurrentThreadId());
  EXPECT_EQ(line.message, "Open device succ, disk size: 42");
  EXPECT_LE(to_utf8(before), line.timestamp);
  EXPECT_LE(line.timestamp, to_utf8(after));
  EXPECT_EQ(lines[0].substr(0, 24), L"[" + from_utf8(line.timestamp) + L"] [I");
}

TEST_F(LoggerTest, FileStartsWithTheFirstLineAndNoByteOrderMark) {
  Logger::instance().info(L"x");
  const std::string whole = trv_testing::read_bytes("TRV.log");
  ASSERT_GE(whole.size(), 2u);
  EXPECT_EQ(whole.substr(0, 2), std::string("[\0", 2));
}

TEST_F(LoggerTest, InfoTagIsOneCharacterShorterThanTheOthers) {
  Logger::instance().info(L"same");
  Logger::instance().error(L"same");
  Logger::instance().write(Debug, L"same");
  const std::vector<std::wstring> lines = new_lines();
  ASSERT_EQ(lines.size(), 3u);
  // The timestamp takes columns 0..20; the tag starts at 22.
  EXPECT_EQ(lines[0].find(L"] ["), 20u);
  EXPECT_EQ(lines[0].find(L"] [", 22), 27u);
  EXPECT_EQ(lines[1].find(L"] [", 22), 28u);
  EXPECT_EQ(lines[2].find(L"] [", 22), 28u);
  EXPECT_EQ(lines[0].size() + 1, lines[1].size());
}

TEST_F(LoggerTest, DebugAndInfoEchoToStandardOutputErrorAndFatalToStandardError) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Logger::instance().write(Debug, L"progress");
  Logger::instance().info(L"started");
  Logger::instance().error(L"broken");
  Logger::instance().write(Fatal, L"dead");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();

  const std::vector<std::wstring> lines = new_lines();
  ASSERT_EQ(lines.size(), 4u);
  // The echo is the whole line, timestamp and ids included, ended by its own
  // line feed and nothing else.
  EXPECT_EQ(from_utf8(out), lines[0] + L"\n" + lines[1] + L"\n");
  EXPECT_EQ(from_utf8(err), lines[2] + L"\n" + lines[3] + L"\n");
  EXPECT_EQ(parsed(lines[0]).level, "DEBUG");
  EXPECT_EQ(parsed(lines[3]).level, "FATAL");
}

TEST_F(LoggerTest, LevelOutsideTheTableWritesNothing) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Logger::instance().write(-1, L"below");
  Logger::instance().write(4, L"above");
  Logger::instance().write(1 << 30, L"far above");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(new_bytes(), "");
}

TEST_F(LoggerTest, EmptyMessageEndsWithBracketSpaceLineFeed) {
  Logger::instance().error(L"");
  const std::vector<std::wstring> lines = new_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 2), L"] ");
  EXPECT_EQ(parsed(lines[0]).message, "");
}

TEST_F(LoggerTest, MessageIsPassedThroughUnchanged) {
  const std::wstring message = L"100% \"quoted\" %s %d\ttab\nsecond line \\ end";
  Logger::instance().info(message);
  const std::wstring text = from_utf16(trv_testing::utf16le_units(new_bytes()));
  ASSERT_GE(text.size(), message.size() + 1);
  EXPECT_EQ(text.substr(text.size() - message.size() - 1), message + L"\n");
}

TEST_F(LoggerTest, TextBeyondTheBasicPlaneIsASurrogatePairInTheFileAndUtf8OnTheConsole) {
  testing::internal::CaptureStdout();
  Logger::instance().info(L"disk \U0001F600 \u00e9");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string bytes = new_bytes();
  EXPECT_NE(bytes.find(std::string("\x3D\xD8\x00\xDE \x00\xE9\x00\x0A\x00", 10)),
            std::string::npos);
  EXPECT_NE(out.find("disk \xF0\x9F\x98\x80 \xC3\xA9\n"), std::string::npos);
}

TEST_F(LoggerTest, UnencodableTextDoesNotBreakLaterConsoleOutput) {
  testing::internal::CaptureStdout();
  Logger::instance().info(std::wstring(L"bad ") + static_cast<wchar_t>(0xD800) + L" and " +
                          static_cast<wchar_t>(0x110000) + L" end");
  Logger::instance().info(L"next line");
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_NE(out.find("bad \xEF\xBF\xBD and \xEF\xBF\xBD end\n"), std::string::npos);
  EXPECT_NE(out.find("] next line\n"), std::string::npos);
  const std::vector<std::wstring> lines = new_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(parsed(lines[0]).message, "bad \uFFFD and \uFFFD end");
  EXPECT_EQ(parsed(lines[1]).message, "next line");
}

TEST_F(LoggerTest, KeepsTheCallersLastError) {
  SetLastError(ERROR_CRC);
  Logger::instance().info(L"between a failure and its report");
  EXPECT_EQ(GetLastError(), ERROR_CRC);
}

TEST_F(LoggerTest, FailedFileWriteIsReportedAndTheLineStillEchoed) {
  inject_failure("WriteFile", ERROR_DISK_FULL);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Logger::instance().info(L"lost in the file");
  Logger::instance().info(L"kept in the file");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(err, "Write log file failed, error code: 112\n");
  EXPECT_NE(out.find("] lost in the file\n"), std::string::npos);
  EXPECT_NE(out.find("] kept in the file\n"), std::string::npos);
  const std::vector<std::wstring> lines = new_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parsed(lines[0]).message, "kept in the file");
}

TEST_F(LoggerTest, SecondOpenerOfTheLogIsRefused) {
  Logger::instance().info(L"held");
  const std::string before = trv_testing::read_bytes("TRV.log");

  HANDLE writer = CreateFileW(L".\\TRV.log", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  HANDLE reader = CreateFileW(L".\\TRV.log", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

  EXPECT_EQ(trv_testing::read_bytes("TRV.log"), before);
}

TEST_F(LoggerTest, ConcurrentWritersNeverInterleaveWithinALine) {
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  const std::wstring padding(300, L'.');
  testing::internal::CaptureStdout();
  std::vector<std::thread> writers;
  std::vector<DWORD> thread_ids(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      thread_ids[t] = GetCurrentThreadId();
      for (int i = 0; i < kLines; ++i) {
        Logger::instance().info(L"writer " + std::to_wstring(t) + L" line " + std::to_wstring(i) +
                                L" " + padding);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::string out = testing::internal::GetCapturedStdout();

  const std::vector<std::wstring> lines = new_lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const std::wstring& text : lines) {
    const LogLine line = parsed(text);
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.message.c_str(), "writer %d line %d", &t, &i), 2);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(line.message, to_utf8(L"writer " + std::to_wstring(t) + L" line " +
                                    std::to_wstring(i) + L" " + padding));
    EXPECT_EQ(line.tid, thread_ids[t]);
    EXPECT_EQ(i, next[t]++) << "lines of one writer out of order";
  }
  // Each line reaches the console in the same order as the file.
  EXPECT_EQ(trv_testing::console_lines(out), lines);
}

}  // namespace
