// Helpers shared by the C++ tests that touch the file system.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace vestra::testing_support {

/// A new directory under `base`, by its canonical path, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp") {
    std::string pattern = base + "/vestra-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp under " + base);
    path_ = std::filesystem::canonical(pattern).string();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

/// The number of entries in `dir`, e.g. /proc/self/fd or /proc/self/task.
inline std::size_t count_entries(const std::string& dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++count;
  return count;
}

}  // namespace vestra::testing_support
