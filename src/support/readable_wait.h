// One wait for a descriptor to become readable.
#pragma once

#include <chrono>
#include <optional>

namespace vestra {

/// Waits until `fd` is readable or `timeout` (none: no limit) has passed, once: a signal
/// ends the wait early. 0 when readable or timed out, otherwise the errno (EINTR for a
/// signal). Linux waits to the nanosecond; elsewhere to the millisecond, rounded up.
int wait_readable(int fd, std::optional<std::chrono::nanoseconds> timeout) noexcept;

}  // namespace vestra
