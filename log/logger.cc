// The process-wide log. Lines are composed outside the lock; the lock covers
// only the file write, the write-failure message and the console echo, so
// lines never interleave and reach the file and the console in one order.
//
// The console receives UTF-8 through the narrow streams (text the console
// cannot show never puts a stream into a failed state), and the write-failure
// message goes to the narrow standard error stream, since one stream must not
// be used both wide and narrow.
#include "log/logger.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <locale>
#include <sstream>
#include <string>

#include "platform/text.h"

namespace {

constexpr const wchar_t* level_tags[] = {L"[DEBUG]", L"[INFO]", L"[ERROR]", L"[FATAL]"};

// Ends the process from inside the logger's one-time creation. std::exit
// would run the exit-time destructors, and any of them that logs would
// re-enter the unfinished creation; so flush what the streams hold and leave
// at once.
[[noreturn]] void end_process(const char* message, DWORD error) {
  std::cerr << message << std::to_string(error) << '\n';
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(1);
}

// "[YYYY-MM-DD hh:mm:ss]" in local time.
std::wstring timestamp() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  wchar_t buffer[40];
  const int length = std::swprintf(buffer, 40, L"[%04u-%02u-%02u %02u:%02u:%02u]",
                                   unsigned{local.wYear}, unsigned{local.wMonth},
                                   unsigned{local.wDay}, unsigned{local.wHour},
                                   unsigned{local.wMinute}, unsigned{local.wSecond});
  return std::wstring(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// The file holds the exact UTF-16 code units, least significant byte first,
// whatever the host's byte order.
std::string utf16le_bytes(const std::wstring& text) {
  const std::u16string units = to_utf16(text);
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (const char16_t unit : units) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

}  // namespace

Logger& Logger::instance() {
  static Logger logger;
  return logger;
}

Logger::Logger() : path_(L".\\TRV.log") {
  // The caller's last error survives the creation: a report that created the
  // logger has read it already, but its caller may read it again.
  const DWORD saved_error = GetLastError();
  if (!InitializeCriticalSectionAndSpinCount(&lock_, 0)) {
    end_process("Init log guard failed, error code: ", GetLastError());
  }
  file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) {
    end_process("Open log file failed, error code: ", GetLastError());
  }
  SetLastError(saved_error);
}

Logger::~Logger() {
  EnterCriticalSection(&lock_);
  if (file_ != nullptr && file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = nullptr;
  // Standard output is not flushed per line; make sure a pipe gets the tail.
  std::cout.flush();
  LeaveCriticalSection(&lock_);
  DeleteCriticalSection(&lock_);
}

void Logger::write(int level, const std::wstring& message) {
  if (level < Debug || level > Fatal) return;
  const DWORD saved_error = GetLastError();

  std::wostringstream composed;
  composed.imbue(std::locale::classic());
  composed << timestamp() << L' ' << level_tags[level] << L" [" << GetCurrentProcessId() << L"] ["
           << GetCurrentThreadId() << L"] " << message << L'\n';
  const std::wstring line = std::move(composed).str();
  const std::string file_bytes = utf16le_bytes(line);
  const std::string console_text = to_utf8(line);
  std::ostream& console = level <= Info ? std::cout : std::cerr;

  EnterCriticalSection(&lock_);
  DWORD written = 0;
  if (!WriteFile(file_, file_bytes.data(), static_cast<DWORD>(file_bytes.size()), &written,
                 nullptr)) {
    const DWORD error = GetLastError();
    std::cerr << "Write log file failed, error code: " << std::to_string(error) << '\n';
  }
  console.write(console_text.data(), static_cast<std::streamsize>(console_text.size()));
  LeaveCriticalSection(&lock_);

  SetLastError(saved_error);
}
