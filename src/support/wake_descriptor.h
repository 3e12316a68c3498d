// A descriptor that another thread (or a signal handler) makes readable to wake a waiter.
#pragma once

namespace vestra {

/// Readable from the first raise() until clear(); raise() is async-signal-safe. An eventfd
/// on Linux, a non-blocking pipe elsewhere. Both ends are close-on-exec.
class WakeDescriptor {
 public:
  /// A fatal error when the system refuses a descriptor.
  WakeDescriptor();
  struct MayFail {};
  /// For a caller that can do without: none (valid() false) when the system refuses one.
  explicit WakeDescriptor(MayFail) noexcept;
  WakeDescriptor(const WakeDescriptor&) = delete;
  WakeDescriptor& operator=(const WakeDescriptor&) = delete;
  ~WakeDescriptor();

  bool valid() const noexcept { return read_fd_ != -1; }
  /// The errno of the refusal, when not valid().
  int error() const noexcept { return error_; }
  /// The end to wait on for readability.
  int fd() const noexcept { return read_fd_; }
  /// Makes fd() readable; raising it again while raised changes nothing.
  void raise() noexcept;
  /// Makes fd() unreadable again.
  void clear() noexcept;

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;  // the same descriptor as read_fd_ for an eventfd
  int error_ = 0;
};

}  // namespace vestra
