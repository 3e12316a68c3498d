// Ownership of a created stream through the states of its life.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace vestra {

/// Owns a created stream and ends it as its state allows: stopped only if it was started,
/// invalidated only if it was scheduled, then released, which releases its context. The
/// platform documents a stop before a start and an invalidation before a schedule as
/// errors, and a stream may be given up at any of these points (a thread that could not
/// start, a refused start, a fatal error on the way).
class StreamOwner {
 public:
  explicit StreamOwner(FSEventStreamRef stream) noexcept : stream_(stream) {}
  StreamOwner(StreamOwner&& other) noexcept
      : stream_(std::exchange(other.stream_, nullptr)),
        scheduled_(other.scheduled_),
        started_(other.started_) {}
  StreamOwner(const StreamOwner&) = delete;
  StreamOwner& operator=(const StreamOwner&) = delete;
  ~StreamOwner();

  FSEventStreamRef get() const noexcept { return stream_; }
  /// Schedules the stream on `run_loop` in the default mode.
  void schedule(CFRunLoopRef run_loop);
  /// Starts a scheduled stream; false when the platform refuses.
  [[nodiscard]] bool start();
  /// Stops a started stream: no record is reported afterwards.
  void stop();

 private:
  FSEventStreamRef stream_;
  bool scheduled_ = false;
  bool started_ = false;
};

}  // namespace vestra
