// Collects events into batches that end after a quiet spell or a cap, whichever comes first.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "native/native_event.h"

namespace vestra {

/// A batch ends `debounce` after its latest event, or `max_delay` after its first one,
/// whichever is earlier. Time is given by the caller, so the logic runs on any clock.
/// Not synchronised: its owner holds the lock.
class Batcher {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    Clock::duration debounce{};
    Clock::duration max_delay{};
    /// Hand over the net change per path instead of every event.
    bool coalesce = false;
  };

  explicit Batcher(Settings settings) noexcept : settings_(settings) {}

  /// Appends `event`, observed at `now`.
  void add(NativeEvent event, Clock::time_point now);
  /// When the pending batch is due; nothing when no event is pending.
  std::optional<Clock::time_point> due_at() const noexcept;
  bool is_due(Clock::time_point now) const noexcept;
  bool empty() const noexcept { return pending_.empty(); }
  /// Hands over the pending batch (reduced when coalescing) and starts a new one.
  std::vector<NativeEvent> take();

 private:
  Settings settings_;
  std::vector<NativeEvent> pending_;
  Clock::time_point first_{};
  Clock::time_point latest_{};
};

}  // namespace vestra
