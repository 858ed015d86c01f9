// The one temporary directory of the tests: a fresh directory under the
// system's temporary directory, made under a random name that no other
// directory has (create_directory refuses an existing one), and removed with
// everything in it when the object goes (a directory that cannot be made
// throws, failing the test); with the names the tests give to
// the files in it. Header-only; tests only. An object belongs to the thread
// that made it; the directory itself may be used from any thread.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace trv_testing {

class TemporaryDirectory {
 public:
  // `prefix` names the directory, so that one left by a killed test can be
  // told apart: /tmp/<prefix>-xxxxxxxx.
  explicit TemporaryDirectory(const std::string& prefix = "trv-test") {
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::temp_directory_path(error);
    if (error) throw std::runtime_error("no temporary directory: " + error.message());
    std::random_device seed;
    std::mt19937_64 random(seed());
    constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = prefix + "-";
      for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof(kLetters) - 1)];
      const std::filesystem::path candidate = parent / name;
      if (std::filesystem::create_directory(candidate, error)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
        path_ = candidate;
        return;
      }
    }
    // A test that went on would name files under "" (the working directory).
    throw std::runtime_error("cannot make a temporary directory " + prefix + "-*");
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  // True once constructed: the constructor throws when the directory cannot
  // be made, so that no test goes on with an empty path().
  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }
  // A file in it, as the text the POSIX calls take.
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // The folder of disk images that trvc is pointed at (TRV_DEVICE_DIR),
  // made on first use, and the image of source disk N in it.
  std::filesystem::path devices() const {
    const std::filesystem::path folder = path_ / "devices";
    std::filesystem::create_directory(folder);
    return folder;
  }
  std::filesystem::path drive(int index) const {
    return devices() / ("PhysicalDrive" + std::to_string(index));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace trv_testing
