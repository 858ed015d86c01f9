// Test helpers shared by the tests that read ".\TRV.log": a temporary
// directory that removes itself, the file's bytes, and its lines decoded from
// UTF-16LE and split by the line layout. Header-only; tests only.
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

namespace log_testing {

using TempDir = trv_testing::TemporaryDirectory;

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
    directory_ = std::make_unique<TempDir>();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_->path());
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    directory_.reset();
  }

 private:
  std::unique_ptr<TempDir> directory_;
  std::filesystem::path previous_;
};

// One parsed log line.
struct LogLine {
  std::wstring timestamp;  // "YYYY-MM-DD hh:mm:ss"
  std::wstring tag;        // "INFO", "ERROR", ...
  std::uint64_t pid;
  std::uint64_t tid;
  std::wstring message;
};

// Parses one line without its line feed; false unless it has exactly the
// layout "[YYYY-MM-DD hh:mm:ss] [TAG] [pid] [tid] message", ids in decimal
// without leading zeros.
inline bool parse_line(const std::wstring& text, LogLine* line) {
  const std::wstring shape = L"[dddd-dd-dd dd:dd:dd] ";
  if (text.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= L'0' && text[i] <= L'9';
    if (shape[i] == L'd' ? !digit : text[i] != shape[i]) return false;
  }
  std::size_t at = shape.size();
  std::wstring tag;
  for (const wchar_t* known : {L"DEBUG", L"INFO", L"ERROR", L"FATAL"}) {
    const std::wstring bracketed = L"[" + std::wstring(known) + L"] ";
    if (text.compare(at, bracketed.size(), bracketed) == 0) {
      tag = known;
      at += bracketed.size();
      break;
    }
  }
  if (tag.empty()) return false;
  std::uint64_t ids[2] = {0, 0};
  for (std::uint64_t& id : ids) {
    if (at >= text.size() || text[at] != L'[') return false;
    const std::size_t first = ++at;
    while (at < text.size() && text[at] >= L'0' && text[at] <= L'9')
      id = id * 10 + (text[at++] - L'0');
    const std::size_t digits = at - first;
    if (digits == 0 || digits > 19 || (digits > 1 && text[first] == L'0')) return false;
    if (text.compare(at, 2, L"] ") != 0) return false;
    at += 2;
  }
  *line = {text.substr(1, 19), tag, ids[0], ids[1], text.substr(at)};
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
    LogLine line;
    if (parse_line(text, &line) && line.tag == tag) found.push_back(line.message);
  }
  return found;
}

}  // namespace log_testing
