// Helpers shared by the C++ tests that touch the file system.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

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

/// The process's thread count once it is at most `bound`, or as it stands after a second:
/// a joined thread's entry in /proc/self/task can outlive the join by a moment.
inline std::size_t settled_thread_count(std::size_t bound) {
  std::size_t count = count_entries("/proc/self/task");
  for (int i = 0; i < 100 && count > bound; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = count_entries("/proc/self/task");
  }
  return count;
}

/// `prefix` followed by `number`, e.g. "c12".
inline std::string numbered(std::string prefix, long number) {
  prefix += std::to_string(number);
  return prefix;
}

}  // namespace vestra::testing_support
