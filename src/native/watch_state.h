// What a watch's stream thread, its timer thread and its readers share.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "native/batcher.h"
#include "native/ignore_matcher.h"
#include "native/native_event.h"
#include "support/wake_descriptor.h"

namespace vestra {

/// The pending batch and the descriptor that says it is due, behind one mutex; the roots
/// and ignore rules, fixed once the watch is made.
class WatchState {
 public:
  WatchState(Batcher::Settings batching, const std::vector<std::string>& ignore)
      : batcher(batching), matcher(ignore) {}

  /// Whether the rules ignore `path`, taken relative to the root it lies under.
  bool ignores(std::string_view path) const;
  /// The walk's filter (see VestraStreamControl): a directory the rules ignore.
  static bool skip_directory(const void* info, const char* path, size_t length);

  /// Adds what the rules let through of one delivery's events; raises `ready` when the
  /// batch is due at once, or wakes the timer thread for a batch that has just begun.
  void add(std::vector<NativeEvent>& events);
  /// The timer thread: marks the pending batch due when its time comes; idle, it sleeps
  /// without a deadline. Returns once closing.
  void run_timer();

  std::mutex mutex;
  std::condition_variable changed;
  Batcher batcher;
  /// The pending batch is due and `ready` raised for it.
  bool due = false;
  bool closing = false;
  WakeDescriptor ready{WakeDescriptor::MayFail{}};  // checked by the core's creation
  /// The canonical watched paths; set before the watch starts.
  std::vector<std::string> roots;
  const IgnoreMatcher matcher;

 private:
  /// The part of `path` below the longest root it lies under; nothing when none.
  std::optional<std::string_view> relative_to_root(std::string_view path) const;
  /// `event` as the rules leave it: as it is, as the half on the side they let through,
  /// or nothing.
  void add_filtered(NativeEvent event, Batcher::Clock::time_point now);
};

}  // namespace vestra
