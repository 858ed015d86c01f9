// The four report shapes as they land in the log file: exact texts, the
// number formats, and the last OS error taken before anything else runs.
#include "log/error_reports.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "log/logger.h"
#include "platform/win32.h"
#include "testing/log_reader.h"

namespace {

testing::Environment* const log_directory =
    testing::AddGlobalTestEnvironment(new trv_testing::TemporaryWorkingDirectory);

class ErrorReportTest : public testing::Test {
 protected:
  // Does not create the logger: the first report of a process does that.
  void SetUp() override {
    if (std::filesystem::exists("TRV.log")) seen_ = std::filesystem::file_size("TRV.log");
  }

  // The Error messages written since the last call.
  std::vector<std::wstring> reported() {
    const std::string bytes = trv_testing::read_bytes("TRV.log");
    const std::string added = bytes.substr(std::min<std::size_t>(seen_, bytes.size()));
    seen_ = bytes.size();
    return trv_testing::messages(trv_testing::file_lines(added), L"ERROR");
  }

 private:
  std::size_t seen_ = 0;
};

using Texts = std::vector<std::wstring>;

// Runs first in a process of its own (as the test runner starts each test):
// the report then creates the logger, whose file creation must not replace
// the code that was about to be reported. The old log left in the directory
// makes the creation a truncation.
TEST_F(ErrorReportTest, LastErrorIsReadBeforeTheLoggerIsCreated) {
  trv_testing::write_bytes("TRV.log", "old");
  SetLastError(ERROR_ACCESS_DENIED);
  report_last_error(L"Open device");
  SetLastError(ERROR_CRC);
  report_last_error_at(L"Read device", 1048576);
  EXPECT_EQ(reported(), (Texts{L"Open device failed, error code: 5",
                               L"Read device failed, offset: 1048576, error code : 23"}));
}

TEST_F(ErrorReportTest, LastErrorReportsUseTheirOwnLiterals) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  report_last_error(L"Open device");
  SetLastError(0);
  report_last_error(L"RpcBindingFree");
  SetLastError(0xFFFFFFFFu);
  report_last_error(L"Create worker thread");
  EXPECT_EQ(reported(),
            (Texts{L"Open device failed, error code: 2", L"RpcBindingFree failed, error code: 0",
                   L"Create worker thread failed, error code: 4294967295"}));
}

TEST_F(ErrorReportTest, OffsetsAreWrittenInFullWithoutGrouping) {
  SetLastError(ERROR_IO_DEVICE);
  report_last_error_at(L"Read device", 0);
  SetLastError(ERROR_OPERATION_ABORTED);
  report_last_error_at(L"handle_chunks", 5368709120ull);
  report_error_at(L"Replicate", 18446744073709551615ull, 7);
  EXPECT_EQ(reported(), (Texts{L"Read device failed, offset: 0, error code : 1117",
                               L"handle_chunks failed, offset: 5368709120, error code : 995",
                               L"Replicate failed, offset: 18446744073709551615, error code : 7"}));
}

TEST_F(ErrorReportTest, SignedCodesAndStatusesKeepTheirSign) {
  report_error_at(L"Compare", 4294967296ull, -1);
  report_error_at(L"Replicate", 1048576, -2147483647 - 1);
  report_rpc_status(L"Replicate", 1726);
  report_rpc_status(L"RpcAsyncInitializeHandle", -5);
  report_rpc_status(L"Compare", 0);
  EXPECT_EQ(reported(), (Texts{L"Compare failed, offset: 4294967296, error code : -1",
                               L"Replicate failed, offset: 1048576, error code : -2147483648",
                               L"Invoke rpc method Replicate failed, rpc status: 1726",
                               L"Invoke rpc method RpcAsyncInitializeHandle failed, rpc status: -5",
                               L"Invoke rpc method Compare failed, rpc status: 0"}));
}

TEST_F(ErrorReportTest, ReportIsOneErrorLineOfThisThread) {
  SetLastError(ERROR_NOT_READY);
  report_last_error(L"FlushFileBuffers");
  const std::string bytes = trv_testing::read_bytes("TRV.log");
  const std::vector<std::wstring> lines = trv_testing::file_lines(bytes);
  ASSERT_FALSE(lines.empty());
  trv_testing::LogLine line;
  ASSERT_TRUE(trv_testing::parse_line(lines.back(), &line));
  EXPECT_EQ(line.level, "ERROR");
  EXPECT_EQ(line.pid, GetCurrentProcessId());
  EXPECT_EQ(line.tid, GetCurrentThreadId());
  EXPECT_EQ(line.message, "FlushFileBuffers failed, error code: 21");
}

}  // namespace
