#include "support/readable_wait.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace vestra {

int wait_readable(int fd, std::optional<std::chrono::nanoseconds> timeout) noexcept {
  pollfd ready{fd, POLLIN, 0};
  int got;
#if defined(__linux__)
  timespec span{};
  if (timeout) {
    const long long ns = timeout->count() < 0 ? 0 : timeout->count();
    span.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    span.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  got = ::ppoll(&ready, 1, timeout ? &span : nullptr, nullptr);
#else
  int ms = -1;
  if (timeout) {
    const long long rounded = (timeout->count() + 999'999) / 1'000'000;
    ms = rounded < 0 ? 0 : rounded > INT_MAX ? INT_MAX : static_cast<int>(rounded);
  }
  got = ::poll(&ready, 1, ms);
#endif
  return got == -1 ? errno : 0;
}

}  // namespace vestra
