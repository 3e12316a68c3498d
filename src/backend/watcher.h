// The watcher: its registry of watched paths and the stream that observes them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "backend/watch_registry.h"
#include "event/error.h"
#include "event/event_handler.h"
#include "platform/api/stream_control.h"
#include "platform/cf_ref.h"
#include "platform/platform.h"
#include "support/result.h"
#include "support/thread.h"

namespace vestra {

/// What the rest of the system holds a watcher as; destroyed through this interface.
class Watcher {
 public:
  virtual ~Watcher() = default;
  /// Starts observing `path` (a file-system path; text here) to `depth`.
  virtual Result<Unit, Error> watch(std::string_view path, WatchDepth depth) = 0;
};

/// Watches paths through one stream at a time, run on a thread of its own. Every `watch`
/// stops the live stream, registers the path and starts a fresh stream over every
/// registered path. Used by one thread at a time.
class FsEventWatcher final : public Watcher {
 public:
  /// A watcher that delivers to `event_handler`. Starts no thread and no stream.
  static std::unique_ptr<FsEventWatcher> from_event_handler(SharedEventHandler event_handler);
  /// Stops the stream (joining its thread) and releases everything the watcher owns.
  ~FsEventWatcher() override;

  /// Stops the live stream, registers `path`, and restarts over all registered paths. A
  /// refused path is the result, and still restarts the earlier ones; otherwise a stream
  /// that cannot run is the result, with `path`.
  Result<Unit, Error> watch(std::string_view path, WatchDepth depth) override;
  /// Checks `path`, converts it into the stream's string and registers its canonical form.
  Result<Unit, Error> append_path(std::string_view path, WatchDepth depth);
  /// Creates a stream over every registered path and starts its thread; returns once the
  /// stream is started, so later changes are reported, or once a stream that could not be
  /// started has been released. Only while no stream is live.
  Result<Unit, Error> run();
  /// Ends the live stream, if any: a walk in progress stops at its next directory, a batch
  /// being delivered is delivered completely, then the thread is joined.
  void stop();
  /// From any thread: stops a set-up in progress at its next directory, and makes every
  /// later run() fail. The owning thread still calls stop() (or destroys the watcher).
  void request_stop() noexcept;
  /// Whether request_stop() was called.
  bool stop_requested() const noexcept;
  /// Directories the live (or latest) stream holds a kernel watch on; any thread.
  std::size_t watch_count() const noexcept;
  /// What cut the live (or latest) stream's watching short for want of a kernel resource
  /// (an errno); 0 when nothing did or the platform does not say. Any thread.
  int resource_error() const noexcept;
  /// With resource_error() EMFILE: whether the process's descriptor limit was the cause.
  bool descriptor_limit() const noexcept;
  /// How later streams choose polling, and how often they poll (seconds; 0 for the default);
  /// before run(). Honoured where the platform polls.
  void set_polling(VestraStreamControl::Polling polling, double interval_seconds) noexcept {
    polling_ = polling;
    poll_interval_seconds_ = interval_seconds;
  }
  /// How the live (or latest) stream observes each directory it covers: (directory,
  /// mechanism, reason) rows; empty before a stream started or where the platform does
  /// not say. Any thread.
  std::vector<VestraStreamControl::Coverage> coverage() const;
  /// Directories for which `skip(info, path, length)` is true are neither watched nor walked
  /// by later streams (where the platform walks); before run().
  void set_directory_filter(bool (*skip)(const void*, const char*, size_t), const void* info);
  /// The callback of later streams, in place of the one that makes this system's events
  /// (backend/stream_callback.h); it gets the same context. Before run().
  void set_stream_callback(FSEventStreamCallback stream_callback) noexcept {
    stream_callback_ = stream_callback;
  }

  const WatchRegistry& registry() const noexcept { return subtree_by_path_; }
  CFArrayRef stream_paths() const noexcept { return stream_paths_.get(); }
  bool is_running() const noexcept { return active_loop_.has_value(); }

 private:
  explicit FsEventWatcher(SharedEventHandler event_handler);

  struct ActiveLoop {
    /// A reference of the watcher's own: the loop outlives its thread until stop is done.
    CFRef<CFRunLoopRef> run_loop;
    JoinableThread thread;
  };

  SharedEventHandler event_handler_;
  FSEventStreamCallback stream_callback_;
  WatchRegistry subtree_by_path_;
  CFRef<CFMutableArrayRef> stream_paths_;
  const FSEventStreamEventId since_when_ = kFSEventStreamEventIdSinceNow;
  const CFTimeInterval latency_ = 0.0;
  const FSEventStreamCreateFlags create_flags_ =
      kFSEventStreamCreateFlagNoDefer | kFSEventStreamCreateFlagFileEvents;
  std::optional<ActiveLoop> active_loop_;
  /// Guards `control_` and `closed_` against request_stop() from other threads.
  mutable std::mutex control_mutex_;
  /// Shared with the live stream; a fresh one per stream, kept until the next.
  std::unique_ptr<VestraStreamControl> control_;
  bool closed_ = false;
  bool (*skip_directory_)(const void*, const char*, size_t) = nullptr;
  const void* skip_info_ = nullptr;
  VestraStreamControl::Polling polling_ = VestraStreamControl::Polling::Auto;
  double poll_interval_seconds_ = 0;
};

}  // namespace vestra
