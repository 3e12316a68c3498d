// The native watch behind vestra._native.Watch: a watcher whose events are collected into
// batches that a reader takes, waiting on a descriptor that is readable only when one is due.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "native/batcher.h"
#include "native/ignore_matcher.h"
#include "native/native_event.h"
#include "native/watch_failure.h"
#include "support/result.h"

namespace vestra {

/// One path to watch, as the caller gave it.
struct WatchTarget {
  std::string path;
  bool recursive = true;
};

struct WatchSettings {
  std::vector<WatchTarget> targets;
  std::vector<std::string> ignore;
  Batcher::Settings batching;
  /// Forced polling: nullopt leaves the choice to the file systems and the environment
  /// (VESTRA_POLL), true polls everything, false never forces it.
  std::optional<bool> poll;
  /// Seconds between polls; 0 for VESTRA_POLL_INTERVAL or its default.
  double poll_interval = 0;
};

class WatchState;

/// Owns the watcher, its loop thread and the timer thread that marks batches due. Every
/// method may be called from any thread; start() and close() may overlap. In a child
/// process forked from the owner the watch is closed: it has none of the threads, and what
/// it shares with the parent (descriptors, locks a parent thread may have held) is left
/// untouched, its memory abandoned.
class WatchCore {
 public:
  using Clock = Batcher::Clock;
  /// What a wait for a batch ended with.
  struct Timeout {};
  struct Closed {};
  using ReadResult = std::variant<std::vector<NativeEvent>, Timeout, Closed>;

  /// Checks every path; watches nothing yet.
  static Result<std::unique_ptr<WatchCore>, WatchFailure> create(WatchSettings settings);
  /// Closes the watch.
  ~WatchCore();
  WatchCore(const WatchCore&) = delete;
  WatchCore& operator=(const WatchCore&) = delete;

  /// Sets the watch up; returns once every later change is reported, or once close() ended
  /// the set-up. Blocks; call without the interpreter lock. A second start does nothing.
  Result<Unit, WatchFailure> start();
  /// Ends the watch: wakes waiters at once, stops a set-up in progress, ends the threads.
  /// Idempotent. Call without the interpreter lock.
  void close();
  bool closed() const noexcept;

  /// Readable while a batch is due or the watch is closed.
  int fileno() const noexcept;
  /// The due batch, if any, without waiting; otherwise how long until the pending batch is
  /// due (nothing when no event is pending). Closed() once closed with no batch due.
  std::variant<std::vector<NativeEvent>, std::optional<Clock::duration>, Closed> poll_batch();

  std::size_t watch_count() const noexcept;
  /// (directory, mechanism, reason) for every watched root.
  std::vector<std::array<std::string, 3>> coverage() const;

 private:
  struct Parts;
  WatchCore(std::shared_ptr<WatchState> state, std::unique_ptr<Parts> parts);
  /// True in a process forked from the one that made the watch.
  bool forked() const noexcept;

  std::shared_ptr<WatchState> state_;
  std::unique_ptr<Parts> parts_;
  const int owner_;
};

}  // namespace vestra
