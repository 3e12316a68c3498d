// Helpers shared by the C++ tests that touch the file system.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/platform.h"

/// Skips the test for want of something the environment lacks (root, a mount), except
/// under VESTRA_REQUIRE_ALL=1, set where every test can run: there it fails.
#define VESTRA_SKIP_FOR_ENVIRONMENT()                                                             \
  return GTEST_MESSAGE_(                                                                          \
      ::vestra::testing_support::every_test_required() ? "skipped under VESTRA_REQUIRE_ALL=1"     \
                                                       : "",                                      \
      ::vestra::testing_support::every_test_required() ? ::testing::TestPartResult::kFatalFailure \
                                                       : ::testing::TestPartResult::kSkip)

namespace vestra::testing_support {

/// True where every test must run rather than skip (VESTRA_REQUIRE_ALL=1).
inline bool every_test_required() {
  const char* all = ::getenv("VESTRA_REQUIRE_ALL");
  return all && std::string(all) == "1";
}

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

/// The watches that this process's inotify instances hold, as the kernel lists them.
inline std::size_t kernel_watch_count() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;
    if (std::filesystem::read_symlink(entry.path(), gone) != "anon_inode:inotify") continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    for (std::string line; std::getline(info, line);) count += line.rfind("inotify wd:", 0) == 0;
  }
  return count;
}

/// `prefix` followed by `number`, e.g. "c12".
inline std::string numbered(std::string prefix, long number) {
  prefix += std::to_string(number);
  return prefix;
}

/// Creates an empty file at `path`: one creation, no write.
inline void touch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("create " + path);
  ::close(fd);
}

/// A stream over one path whose records are ignored, neither scheduled nor started.
inline FSEventStreamRef create_ignoring_stream(
    const std::string& path_text, FSEventStreamContext* context = nullptr,
    FSEventStreamCreateFlags flags = kFSEventStreamCreateFlagFileEvents) {
  CFMutableArrayRef paths = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  CFStringRef path = CFStringCreateWithCString(nullptr, path_text.c_str(), kCFStringEncodingUTF8);
  CFArrayAppendValue(paths, path);
  CFRelease(path);
  FSEventStreamRef stream = FSEventStreamCreate(
      nullptr,
      [](ConstFSEventStreamRef, void*, size_t, void*, const FSEventStreamEventFlags*,
         const FSEventStreamEventId*) {},
      context, paths, kFSEventStreamEventIdSinceNow, 0.0, flags);
  CFRelease(paths);
  return stream;
}

}  // namespace vestra::testing_support
