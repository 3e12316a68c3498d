// Event streams: the tree watcher of a stream's paths, bound to a run loop, delivering
// batches of records to the stream's callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/api/fsevents.h"
#include "platform/api/stream_control.h"
#include "platform/linux/event_batch.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/poll_choice.h"
#include "platform/linux/poll_set.h"
#include "platform/linux/run_loop.h"
#include "platform/linux/tree_watcher.h"

/// A stream is used on its loop's thread only, and must not be released from inside its own
/// callback.
struct __FSEventStream final {
 public:
  using RunLoop = vestra::platform::RunLoop;

  __FSEventStream(FSEventStreamCallback callback, const FSEventStreamContext* context,
                  std::vector<std::string> paths, FSEventStreamCreateFlags flags);
  /// Ends the stream and releases its context's info, once.
  ~__FSEventStream();
  __FSEventStream(const __FSEventStream&) = delete;
  __FSEventStream& operator=(const __FSEventStream&) = delete;

  /// Binds the stream to `loop`, which it retains until invalidated.
  void schedule(RunLoop& loop);
  /// Watches the paths and reports changes from now on; false when no watching could be
  /// set up or the stream is not scheduled. Call on the loop's thread.
  bool start();
  /// Whether the stream was ever scheduled, and ever started successfully.
  bool was_scheduled() const noexcept { return was_scheduled_; }
  bool was_started() const noexcept { return was_started_; }
  /// Stops reporting and gives up every watch; possible from inside the callback.
  void stop();
  /// Stops and unbinds the stream from its loop.
  void invalidate();

  /// Shares `control` (which outlives the stream) with the stream; before start().
  void set_control(VestraStreamControl* control) noexcept { control_ = control; }

  /// The rename marks of the batch being delivered (see EventBatch::rename_marks).
  const std::uint64_t* rename_marks() { return batch_.rename_marks(); }

  /// Test seams (see testing.h).
  void set_watch_limit(std::size_t limit) noexcept { watch_limit_ = limit; }
  void hold_reading(bool held) noexcept;
  std::size_t watch_count() const noexcept { return watch_count_.load(std::memory_order_relaxed); }
  std::size_t resync_count() const noexcept { return resyncs_.load(std::memory_order_relaxed); }
  /// How each stream path is observed since the start (inotify or polling, and why), and
  /// the time until the next poll (zero when nothing is polled). On the loop's thread.
  std::vector<std::pair<std::string, vestra::platform::Observation>> observations() const;
  std::chrono::milliseconds poll_delay() const noexcept;
  /// What was last published as the stream's coverage (see VestraStreamControl); any thread.
  std::vector<VestraStreamControl::Coverage> coverage() const;

 private:
  /// Tells the control what kept the stream from starting for want of a resource.
  void note_refusal(int error, bool descriptor_limit) noexcept;
  void on_readable();
  void on_mounts_changed();
  void on_resync_due();
  void on_poll_due();
  void fall_back_to_polling(std::vector<std::string>& watched, std::vector<std::string>& polled);
  void schedule_poll();
  void update_polling();
  void publish_coverage();
  void schedule_resync(std::chrono::milliseconds delay);
  void deliver();

  const FSEventStreamCallback callback_;
  FSEventStreamContext context_{};
  const std::vector<std::string> paths_;
  const FSEventStreamCreateFlags flags_;

  RunLoop* loop_ = nullptr;
  std::optional<vestra::platform::MountTable> mounts_;
  std::unique_ptr<vestra::platform::TreeWatcher> watcher_;   // null when every path is polled
  std::unique_ptr<vestra::platform::PollSet> poller_;        // null when none is
  std::vector<vestra::platform::Observation> observations_;  // by stream path
  RunLoop::SourceId reader_ = 0;
  RunLoop::SourceId mounts_reader_ = 0;
  RunLoop::SourceId flush_timer_ = 0;
  RunLoop::SourceId resync_timer_ = 0;
  RunLoop::SourceId poll_timer_ = 0;
  vestra::platform::EventBatch batch_;
  bool started_ = false;
  bool delivering_ = false;
  bool was_scheduled_ = false;
  bool was_started_ = false;
  std::chrono::milliseconds poll_interval_{1000};
  std::size_t polling_changes_ = 0;
  bool coverage_published_ = false;
  mutable std::mutex coverage_mutex_;
  std::vector<VestraStreamControl::Coverage> coverage_;

  VestraStreamControl* control_ = nullptr;
  std::size_t watch_limit_ = SIZE_MAX;
  std::atomic<bool> held_{false};
  std::atomic<std::size_t> watch_count_{0};
  std::atomic<std::size_t> resyncs_{0};
};

namespace vestra::platform {

using EventStream = __FSEventStream;

/// Faults that tests make the next FSEventStreamStart show (see testing.h).
enum class StartFault { None, Refuse, EndRunAtOnce };
/// The fault for the next start, taken by that start.
extern std::atomic<StartFault> next_start_fault;
/// The watch limit of the next stream to start (SIZE_MAX: none), taken by that start.
extern std::atomic<std::size_t> next_watch_limit;
/// The device that every stream reports it watches; 0 names none, as for a stream that was
/// not created relative to a device.
extern std::atomic<dev_t> device_being_watched;
/// Notes a purge request for `device`; take_purged_devices() hands the notes out.
void note_purge(dev_t device);
std::vector<dev_t> take_purged_devices();

/// The path a stream watches for `given`: absolute (a relative path is taken against the
/// current directory) and normalized. Not resolved: the backend gives the paths in their
/// canonical form already, made once by its path conversion. Empty for an empty path, and
/// for a relative one when the current directory cannot be had.
std::string stream_path(std::string_view given);

}  // namespace vestra::platform
