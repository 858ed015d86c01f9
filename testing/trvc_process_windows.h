// The Windows side of testing/trvc_process.h: runs trvc.exe, built beside
// the test executable, with CreateProcessW, its two output streams
// redirected to files. Included by that header only. Header-only; tests
// only; one thread per call.
//
// Two things differ from a Linux run and are made alike here:
// - the exit status is the low byte of the exit code, as a shell reports
//   it (-1 is 255);
// - the C runtime writes the console streams in text mode, so a redirected
//   stream ends its lines with CR LF; each CR LF is read back as LF, and a
//   lone LF or CR is left as it is (the tests then see it).
#pragma once

#include <cwchar>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/win32.h"
#include "testing/log_reader.h"

namespace trv_testing {

inline std::filesystem::path trvc_path() {
  std::wstring self(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  self.resize(length);
  return std::filesystem::path(self).parent_path() / "trvc.exe";
}

// One argument quoted so that the C runtime's parse of the command line
// gives it back unchanged: backslashes are literal except before a quote.
inline std::wstring command_line_argument(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

// The test process's environment, without TRV_DEVICE_DIR and TRV_FAIL_CALL,
// then `environment`: a block of NUL-ended entries ended by one more NUL.
inline std::wstring environment_block(
    const std::vector<std::pair<std::string, std::string>>& environment) {
  std::wstring block;
  wchar_t* const inherited = GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const std::wstring text(entry);
    if (text.rfind(L"TRV_DEVICE_DIR=", 0) == 0 || text.rfind(L"TRV_FAIL_CALL=", 0) == 0) continue;
    block += text;
    block += L'\0';
  }
  if (inherited != nullptr) FreeEnvironmentStringsW(inherited);
  for (const auto& [name, value] : environment) {
    block += from_utf8(name + "=" + value);
    block += L'\0';
  }
  block += L'\0';
  return block;
}

inline std::string without_carriage_returns(const std::string& text) {
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }
  return lines;
}

inline HANDLE inheritable_output(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path.string());
  return file;
}

// Runs trvc.exe with `arguments` in `working_directory`, its streams
// written to `out` and `err`, and returns its status. A trvc that has not
// ended after two minutes is terminated, and the test fails on its status.
inline int run_trvc_process(const std::filesystem::path& working_directory,
                            const std::filesystem::path& out, const std::filesystem::path& err,
                            const std::vector<std::string>& arguments,
                            const std::vector<std::pair<std::string, std::string>>& environment) {
  std::wstring command_line = command_line_argument(trvc_path().wstring());
  for (const std::string& argument : arguments) {
    command_line += L' ' + command_line_argument(from_utf8(argument));
  }
  std::wstring block = environment_block(environment);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = inheritable_output(out);
  startup.hStdError = inheritable_output(err);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT, block.data(),
                                      working_directory.wstring().c_str(), &startup, &process);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!started)
    throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));

  if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1000);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code == 1000 ? -1 : static_cast<int>(code & 0xFF);
}

inline std::string console_output(const std::filesystem::path& path) {
  return without_carriage_returns(read_bytes(path));
}

}  // namespace trv_testing
