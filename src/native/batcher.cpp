#include "native/batcher.h"

#include <algorithm>
#include <utility>

#include "native/coalesce.h"

namespace vestra {

void Batcher::add(NativeEvent event, Clock::time_point now) {
  if (pending_.empty()) first_ = now;
  latest_ = now;
  pending_.push_back(std::move(event));
}

std::optional<Batcher::Clock::time_point> Batcher::due_at() const noexcept {
  if (pending_.empty()) return std::nullopt;
  return std::min(latest_ + settings_.debounce, first_ + settings_.max_delay);
}

bool Batcher::is_due(Clock::time_point now) const noexcept {
  const std::optional<Clock::time_point> due = due_at();
  return due && *due <= now;
}

std::vector<NativeEvent> Batcher::take() {
  std::vector<NativeEvent> batch = std::exchange(pending_, {});
  return settings_.coalesce ? coalesce(std::move(batch)) : batch;
}

}  // namespace vestra
