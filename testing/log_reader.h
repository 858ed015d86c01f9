// The tests' one reader of trvc's log, ".\TRV.log": the file's bytes, its
// lines decoded from UTF-16LE, each line checked against the logger's layout
// and split into a LogLine, and the searches the tests make over those
// lines; with a working directory of its own for a test program whose
// logger writes there. Header-only; tests only; one thread per object.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "testing/temporary_directory.h"

namespace trv_testing {

inline std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The exact UTF-16 code units of little-endian bytes (an odd last byte is
// dropped; callers check the length separately when it matters).
inline std::u16string utf16le_units(const std::string& bytes) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return units;
}

// Runs the whole test program in a fresh working directory, so that the
// ".\TRV.log" its logger creates (once per process, where it is first used)
// is private to it and removed afterwards. Register it with
// testing::AddGlobalTestEnvironment.
class TemporaryWorkingDirectory : public testing::Environment {
 public:
  void SetUp() override {
    directory_ = std::make_unique<TemporaryDirectory>();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_->path());
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    directory_.reset();
  }

 private:
  std::unique_ptr<TemporaryDirectory> directory_;
  std::filesystem::path previous_;
};

// One parsed log line, as UTF-8 text.
struct LogLine {
  std::string timestamp;  // "YYYY-MM-DD hh:mm:ss"
  std::string level;      // "INFO", "ERROR", ...
  std::uint64_t pid = 0;
  std::uint64_t tid = 0;
  std::string message;
};

// The pieces of one line without its line feed, as the logger wrote them:
// false unless it has exactly the layout "[YYYY-MM-DD hh:mm:ss] [TAG] [pid]
// [tid] message", ids in decimal without leading zeros. The message is
// text.substr(*message_at).
inline bool split_line(const std::wstring& text, std::wstring* tag, std::uint64_t* pid,
                       std::uint64_t* tid, std::size_t* message_at) {
  const std::wstring shape = L"[dddd-dd-dd dd:dd:dd] ";
  if (text.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= L'0' && text[i] <= L'9';
    if (shape[i] == L'd' ? !digit : text[i] != shape[i]) return false;
  }
  std::size_t at = shape.size();
  tag->clear();
  for (const wchar_t* known : {L"DEBUG", L"INFO", L"ERROR", L"FATAL"}) {
    const std::wstring bracketed = L"[" + std::wstring(known) + L"] ";
    if (text.compare(at, bracketed.size(), bracketed) == 0) {
      *tag = known;
      at += bracketed.size();
      break;
    }
  }
  if (tag->empty()) return false;
  for (std::uint64_t* id : {pid, tid}) {
    *id = 0;
    if (at >= text.size() || text[at] != L'[') return false;
    const std::size_t first = ++at;
    while (at < text.size() && text[at] >= L'0' && text[at] <= L'9')
      *id = *id * 10 + (text[at++] - L'0');
    const std::size_t digits = at - first;
    if (digits == 0 || digits > 19 || (digits > 1 && text[first] == L'0')) return false;
    if (text.compare(at, 2, L"] ") != 0) return false;
    at += 2;
  }
  *message_at = at;
  return true;
}

// One decoded line as a LogLine; false as split_line.
inline bool parse_line(const std::wstring& text, LogLine* line) {
  std::wstring tag;
  std::uint64_t pid = 0;
  std::uint64_t tid = 0;
  std::size_t message_at = 0;
  if (!split_line(text, &tag, &pid, &tid, &message_at)) return false;
  *line = {to_utf8(text.substr(1, 19)), to_utf8(tag), pid, tid, to_utf8(text.substr(message_at))};
  return true;
}

// Splits decoded text at each line feed; text after the last line feed (an
// unfinished line) is returned as a last element so that tests notice it.
inline std::vector<std::wstring> split_lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n') {
      lines.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The lines of a UTF-16LE log (from the file) or of UTF-8 console text.
inline std::vector<std::wstring> file_lines(const std::string& bytes) {
  return split_lines(from_utf16(utf16le_units(bytes)));
}
inline std::vector<std::wstring> console_lines(const std::string& bytes) {
  return split_lines(from_utf8(bytes));
}

// The messages of the lines with the given tag, in order.
inline std::vector<std::wstring> messages(const std::vector<std::wstring>& lines,
                                          const std::wstring& tag) {
  std::vector<std::wstring> found;
  for (const std::wstring& text : lines) {
    std::wstring line_tag;
    std::uint64_t pid = 0;
    std::uint64_t tid = 0;
    std::size_t message_at = 0;
    if (split_line(text, &line_tag, &pid, &tid, &message_at) && line_tag == tag) {
      found.push_back(text.substr(message_at));
    }
  }
  return found;
}

// ---- The log of a whole run, as UTF-8 ------------------------------------

// TRV.log of `dir`, decoded from UTF-16LE to UTF-8. Empty when there is none.
inline std::string read_log_text(const std::filesystem::path& dir) {
  const std::string bytes = read_bytes(dir / "TRV.log");
  EXPECT_EQ(bytes.size() % 2, 0u) << "TRV.log is not whole UTF-16 code units";
  return to_utf8(from_utf16(utf16le_units(bytes)));
}

// The lines of a log text. A line that does not have the logger's layout,
// or a last line without its line feed, fails the calling test.
inline std::vector<LogLine> parse_log(const std::string& text) {
  std::vector<LogLine> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "the log's last line has no line feed";
    if (end == std::string::npos) end = text.size();
    const std::string text_line = text.substr(start, end - start);
    LogLine parsed;
    if (parse_line(from_utf8(text_line), &parsed)) {
      lines.push_back(parsed);
    } else {
      ADD_FAILURE() << "log line without the logger's layout: " << text_line;
    }
    start = end + 1;
  }
  return lines;
}

inline std::vector<LogLine> read_log(const std::filesystem::path& dir) {
  return parse_log(read_log_text(dir));
}

// True when `message` is a progress line: "Replicated bytes: <offset>,
// speed: <speed>" with the speed in one of its printed forms.
inline bool parse_progress_line(const std::string& message, std::uint64_t* offset) {
  const std::string head = "Replicated bytes: ";
  if (message.rfind(head, 0) != 0) return false;
  const std::size_t at = head.size();
  std::size_t digits_end = at;
  while (digits_end < message.size() && message[digits_end] >= '0' && message[digits_end] <= '9') {
    ++digits_end;
  }
  if (digits_end == at) return false;
  *offset = std::stoull(message.substr(at, digits_end - at));
  std::string speed = message.substr(digits_end);
  const std::string middle = ", speed: ";
  if (speed.rfind(middle, 0) != 0) return false;
  speed = speed.substr(middle.size());
  if (speed == " inf MB/s") return true;
  // "<digits>.<two digits> <unit>/s"
  const std::size_t dot = speed.find('.');
  const std::size_t space = speed.find(' ');
  if (dot == std::string::npos || dot == 0 || space != dot + 3) return false;
  for (std::size_t i = 0; i < space; ++i) {
    if (i != dot && !(speed[i] >= '0' && speed[i] <= '9')) return false;
  }
  const std::string unit = speed.substr(space + 1);
  return unit == "B/s" || unit == "KB/s" || unit == "MB/s";
}

// The messages alone, in file order.
inline std::vector<std::string> messages(const std::vector<LogLine>& lines) {
  std::vector<std::string> out;
  for (const LogLine& line : lines) out.push_back(line.message);
  return out;
}

// Index of the first message equal to `message`, or -1.
inline int find_message(const std::vector<LogLine>& lines, const std::string& message) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].message == message) return static_cast<int>(i);
  }
  return -1;
}

// Number of messages that start with `prefix`.
inline int count_prefix(const std::vector<LogLine>& lines, const std::string& prefix) {
  int count = 0;
  for (const LogLine& line : lines) count += line.message.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

}  // namespace trv_testing
