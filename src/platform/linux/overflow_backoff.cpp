#include "platform/linux/overflow_backoff.h"

#include <algorithm>

namespace vestra::platform {

std::optional<std::chrono::milliseconds> OverflowBackoff::on_overflow(Clock::time_point now) {
  // The quiet spell runs from the overflow before this one: measured before it is stamped.
  if (last_ && now - *last_ > options_.quiet) streak_ = 0;
  last_ = now;
  if (pending_) return std::nullopt;
  const unsigned streak = streak_++;
  if (streak < options_.immediate) return std::chrono::milliseconds::zero();
  pending_ = true;
  const unsigned doublings = std::min(streak - options_.immediate, 8u);
  return std::min(options_.first_delay * (1u << doublings), options_.max_delay);
}

}  // namespace vestra::platform
