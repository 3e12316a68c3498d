#include "support/wake_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "support/io_error.h"
#include "support/panic.h"

#if defined(__linux__)
#include <sys/eventfd.h>
#endif

namespace vestra {

namespace {

[[noreturn]] void refused(const char* what) {
  panic(std::string(what) + ": " + IoError::last_os_error().message());
}

}  // namespace

WakeDescriptor::WakeDescriptor(MayFail) noexcept {
#if defined(__linux__)
  read_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  write_fd_ = read_fd_;
  if (read_fd_ == -1) error_ = errno;
#else
  int ends[2];
  if (::pipe(ends) == -1) {
    error_ = errno;
    return;
  }
  for (int end : ends) {
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
    ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
  }
  read_fd_ = ends[0];
  write_fd_ = ends[1];
#endif
}

WakeDescriptor::WakeDescriptor() : WakeDescriptor(MayFail{}) {
#if defined(__linux__)
  if (!valid()) refused("eventfd");
#else
  if (!valid()) refused("pipe");
#endif
}

WakeDescriptor::~WakeDescriptor() {
  if (!valid()) return;
  if (write_fd_ != read_fd_) ::close(write_fd_);
  ::close(read_fd_);
}

void WakeDescriptor::raise() noexcept {
  const int saved = errno;
  const std::uint64_t one = 1;
  // A full pipe or counter is already readable, which is all a raise must achieve.
  while (::write(write_fd_, &one, sizeof one) == -1 && errno == EINTR) {
  }
  errno = saved;
}

void WakeDescriptor::clear() noexcept {
  std::uint64_t drained[8];
  while (true) {
    const ssize_t got = ::read(read_fd_, drained, sizeof drained);
    if (got > 0 && static_cast<std::size_t>(got) == sizeof drained) continue;
    if (got == -1 && errno == EINTR) continue;
    return;
  }
}

}  // namespace vestra
