// The one temporary directory of the tests: a fresh directory under the
// system's temporary directory, made with mkdtemp and removed with everything
// in it when the object goes. Header-only; tests only. An object belongs to
// the thread that made it; the directory itself may be used from any thread.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace trv_testing {

class TemporaryDirectory {
 public:
  // `prefix` names the directory, so that one left by a killed test can be
  // told apart: /tmp/<prefix>-XXXXXX.
  explicit TemporaryDirectory(const std::string& prefix = "trv-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  // False when the directory could not be made; path() is then empty.
  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace trv_testing
