// Ownership of one open file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace vestra::platform {

/// Owns one open file descriptor and closes it once, when destroyed or reset; -1 means none.
/// Every descriptor handed to it is opened with close-on-exec by its creator.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ != -1; }

  /// Closes the owned descriptor, if any, and owns `fd` instead.
  void reset(int fd = -1) noexcept {
    // Linux frees the descriptor even when close reports EINTR, so it is never retried.
    if (fd_ != -1) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace vestra::platform
