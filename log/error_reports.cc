// The error-report composers. The last OS error is read before anything
// else, so that neither building the text nor creating the logger can change
// the code that is reported.
#include "log/error_reports.h"

#include <string>

#include "log/logger.h"
#include "platform/win32.h"

void report_last_error(std::wstring operation) {
  const DWORD error = GetLastError();
  Logger::instance().error(std::move(operation) + L" failed, error code: " +
                           std::to_wstring(error));
}

void report_last_error_at(std::wstring operation, std::uint64_t offset) {
  const DWORD error = GetLastError();
  Logger::instance().error(std::move(operation) + L" failed, offset: " + std::to_wstring(offset) +
                           L", error code : " + std::to_wstring(error));
}

void report_error_at(std::wstring operation, std::uint64_t offset, std::int32_t code) {
  Logger::instance().error(std::move(operation) + L" failed, offset: " + std::to_wstring(offset) +
                           L", error code : " + std::to_wstring(code));
}

void report_rpc_status(std::wstring operation, std::int32_t status) {
  Logger::instance().error(L"Invoke rpc method " + std::move(operation) + L" failed, rpc status: " +
                           std::to_wstring(status));
}
