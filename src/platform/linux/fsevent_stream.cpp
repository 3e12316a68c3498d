#include "platform/linux/fsevent_stream.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/linux/cf_string.h"
#include "platform/linux/current_directory.h"
#include "platform/linux/path_text.h"
#include "platform/linux/poll_choice.h"
#include "platform/linux/record_flags.h"
#include "support/panic.h"
#include "support/path.h"

namespace vestra::platform {

/// The id of the latest record handed to any stream's callback.
std::atomic<FSEventStreamEventId> latest_event_id{0};
std::atomic<StartFault> next_start_fault{StartFault::None};
std::atomic<std::size_t> next_watch_limit{SIZE_MAX};
std::atomic<dev_t> device_being_watched{0};

namespace {

std::mutex purges_mutex;
std::vector<dev_t> purged_devices;

}  // namespace

void note_purge(dev_t device) {
  std::lock_guard hold(purges_mutex);
  purged_devices.push_back(device);
}

std::vector<dev_t> take_purged_devices() {
  std::lock_guard hold(purges_mutex);
  return std::exchange(purged_devices, {});
}

std::string stream_path(std::string_view given) {
  if (given.empty()) return {};
  std::string base;
  if (given.front() != '/') {
    base = current_directory();
    if (base.empty()) return {};  // relative to a directory that cannot be named
  }
  return path_text::absolute(given, base);
}

}  // namespace vestra::platform

using vestra::platform::RunLoop;

namespace {

/// A read that found this many records is taken for part of a burst: the next one waits a
/// moment, so that it finds many more at once instead of waking for every few.
constexpr std::size_t kBurstRecords = 32;
constexpr long kBurstLingerNs = 1'000'000;

void linger_in_burst(std::size_t records) {
  if (records < kBurstRecords) return;
  const timespec pause{0, kBurstLingerNs};
  ::nanosleep(&pause, nullptr);
}

/// How each of `paths` is observed. A path inside another goes with the outermost one:
/// inotify trees leave it to that one's watches, polling to that one's snapshot, so that no
/// change is reported twice.
std::vector<vestra::platform::Observation> choose_observers(const std::vector<std::string>& paths,
                                                            bool forced) {
  using vestra::path_starts_with;
  std::vector<vestra::platform::Observation> chosen;
  for (const std::string& path : paths) {
    const std::string* outermost = &path;
    for (const std::string& other : paths) {
      if (other.size() < outermost->size() && path_starts_with(path, other)) outermost = &other;
    }
    chosen.push_back(vestra::platform::choose_observer(*outermost, forced));
  }
  return chosen;
}

/// The paths watched with inotify, and the outermost of those polled.
std::pair<std::vector<std::string>, std::vector<std::string>> split_by_observer(
    const std::vector<std::string>& paths,
    const std::vector<vestra::platform::Observation>& observations) {
  using vestra::path_starts_with;
  std::vector<std::string> watched;
  std::vector<std::string> polled;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    if (observations[i].observer == vestra::platform::Observer::Inotify) {
      watched.push_back(path);
      continue;
    }
    const bool inside = std::ranges::any_of(paths, [&](const std::string& other) {
      return other.size() < path.size() && path_starts_with(path, other);
    });
    if (!inside && std::ranges::find(polled, path) == polled.end()) polled.push_back(path);
  }
  return {std::move(watched), std::move(polled)};
}

}  // namespace

__FSEventStream::__FSEventStream(FSEventStreamCallback callback,
                                 const FSEventStreamContext* context,
                                 std::vector<std::string> paths, FSEventStreamCreateFlags flags)
    : callback_(callback), paths_(std::move(paths)), flags_(flags) {
  if (context) {
    context_ = *context;
    if (context_.retain) context_.info = const_cast<void*>(context_.retain(context_.info));
  }
}

__FSEventStream::~__FSEventStream() {
  invalidate();
  if (context_.release) context_.release(context_.info);
}

void __FSEventStream::schedule(RunLoop& loop) {
  if (loop_ == &loop) return;
  invalidate();
  loop.retain();
  loop_ = &loop;
  was_scheduled_ = true;
}

void __FSEventStream::note_refusal(int error, bool descriptor_limit) noexcept {
  if (!control_) return;
  control_->resource_error.store(error, std::memory_order_relaxed);
  control_->descriptor_limit.store(descriptor_limit, std::memory_order_relaxed);
}

bool __FSEventStream::start() {
  if (!loop_) return false;
  if (started_) return true;
  if (const int refused = loop_->failure()) {
    note_refusal(refused, refused == EMFILE);
    return false;
  }
  const auto fault =
      vestra::platform::next_start_fault.exchange(vestra::platform::StartFault::None);
  if (fault == vestra::platform::StartFault::Refuse) return false;
  const std::size_t next_limit = vestra::platform::next_watch_limit.exchange(SIZE_MAX);
  if (next_limit != SIZE_MAX) watch_limit_ = next_limit;
  using Polling = VestraStreamControl::Polling;
  const Polling polling = control_ ? control_->polling : Polling::Auto;
  const bool forced =
      polling == Polling::Force || (polling == Polling::Auto && vestra::platform::polling_forced());
  const auto given_interval =
      vestra::platform::poll_interval_of(control_ ? control_->poll_interval_seconds : 0);
  poll_interval_ = given_interval.value_or(vestra::platform::poll_interval());
  observations_ = choose_observers(paths_, forced);
  auto [watched, polled] = split_by_observer(paths_, observations_);
  if (!watched.empty()) {
    watcher_ = vestra::platform::TreeWatcher::open(watched, watch_limit_,
                                                   control_ ? control_->watch_count : watch_count_);
    if (!watcher_) {
      const int refused = errno;
      // A descriptor that still opens says it was the instance limit.
      note_refusal(refused, refused == EMFILE &&
                                !vestra::platform::FileDescriptor(::dup(loop_->fd())).valid());
      return false;
    }
    watcher_->set_control(control_);
    watcher_->set_poll_interval(poll_interval_);
    // Read before the walks, so that a mount made during them shows as a change.
    mounts_.emplace();
    watcher_->start(batch_);
    // A set-up cut short by a stop watches only part of the trees: it did not start.
    if (control_ && control_->stop_requested.load(std::memory_order_relaxed)) {
      watcher_.reset();
      mounts_.reset();
      batch_.clear();
      return false;
    }
    if (watcher_->watch_limit_reached()) {
      fall_back_to_polling(watched, polled);
    }
  }
  if (watcher_) {
    reader_ = loop_->add_descriptor(watcher_->fd(), [this] { on_readable(); });
    if (!reader_) {
      watcher_.reset();
      mounts_.reset();
      batch_.clear();
      return false;
    }
    // Without a mount table (no /proc), mounts go unnoticed, as they always did.
    if (mounts_->valid()) {
      mounts_reader_ = loop_->add_descriptor(
          mounts_->fd(), [this] { on_mounts_changed(); }, RunLoop::Readiness::Priority);
    }
    if (held_.load(std::memory_order_acquire)) loop_->set_descriptor_enabled(reader_, false);
  } else {
    mounts_.reset();
  }
  if (!polled.empty()) {
    poller_ = std::make_unique<vestra::platform::PollSet>(std::move(polled), poll_interval_);
    poller_->start();
  }
  started_ = was_started_ = true;
  update_polling();
  // The run that follows returns at once, as a loop left without sources does.
  if (fault == vestra::platform::StartFault::EndRunAtOnce) loop_->stop();
  // What could not be watched is reported from the loop, like every other record.
  if (!batch_.empty()) {
    flush_timer_ = loop_->add_timer(RunLoop::Clock::duration::zero(), [this] {
      flush_timer_ = 0;
      deliver();
    });
  }
  return true;
}

void __FSEventStream::stop() {
  if (!started_) return;
  started_ = false;
  loop_->remove_descriptor(reader_);
  loop_->remove_descriptor(mounts_reader_);
  loop_->cancel_timer(flush_timer_);
  loop_->cancel_timer(resync_timer_);
  loop_->cancel_timer(poll_timer_);
  reader_ = mounts_reader_ = flush_timer_ = resync_timer_ = poll_timer_ = 0;
  // The batch being delivered is still the callback's; deliver() finishes the stop.
  if (delivering_) return;
  watcher_.reset();
  mounts_.reset();
  poller_.reset();
  batch_.clear();
}

void __FSEventStream::invalidate() {
  stop();
  if (!loop_) return;
  loop_->release();
  loop_ = nullptr;
}

void __FSEventStream::hold_reading(bool held) noexcept {
  held_.store(held, std::memory_order_release);
  if (loop_ && reader_) loop_->set_descriptor_enabled(reader_, !held);
}

void __FSEventStream::on_readable() {
  if (held_.load(std::memory_order_acquire) || !watcher_) return;
  // A change of the mount table that is not handled yet happened before these records were
  // read: the records made after it in a new mount find it watched.
  if (mounts_ && mounts_->changed()) watcher_->on_mounts_changed(mounts_->refresh(), batch_);
  if (const auto delay = watcher_->read(batch_)) schedule_resync(*delay);
  resyncs_.store(watcher_->resync_count(), std::memory_order_relaxed);
  update_polling();
  const std::size_t records = batch_.size();
  deliver();
  linger_in_burst(records);
}

void __FSEventStream::on_mounts_changed() {
  if (!watcher_ || !mounts_) return;
  watcher_->on_mounts_changed(mounts_->refresh(), batch_);
  update_polling();
  deliver();
}

void __FSEventStream::schedule_resync(std::chrono::milliseconds delay) {
  if (resync_timer_) return;
  resync_timer_ = loop_->add_timer(delay, [this] { on_resync_due(); });
}

void __FSEventStream::on_resync_due() {
  resync_timer_ = 0;
  if (!watcher_) return;
  watcher_->resync(batch_);
  resyncs_.store(watcher_->resync_count(), std::memory_order_relaxed);
  update_polling();
  deliver();
}

// Trees too big for the watch limit are polled instead, all of them: a tree half watched
// would need both to agree on every rename across the border. What the walk reported of
// the directories it could not watch gives way to one notice, for the first of them.
void __FSEventStream::fall_back_to_polling(std::vector<std::string>& watched,
                                           std::vector<std::string>& polled) {
  watcher_.reset();
  for (vestra::platform::Observation& observation : observations_) {
    if (observation.observer == vestra::platform::Observer::Inotify) {
      observation = {vestra::platform::Observer::PollNoWatch, {}};
    }
  }
  std::string first = watched.front();
  for (std::size_t i = 0; i < batch_.size(); ++i) {
    if (batch_.flags()[i] == vestra::platform::record_flags::kUserDropped) {
      first = batch_.path(i);
      break;
    }
  }
  batch_.clear();
  batch_.add(first, vestra::platform::record_flags::kUserDropped);
  std::tie(watched, polled) = split_by_observer(paths_, observations_);
}

void __FSEventStream::schedule_poll() {
  poll_timer_ = loop_->add_timer(poll_delay(), [this] { on_poll_due(); });
}

// Subtrees polled inside watched trees come and go with walks and mounts: the timer runs
// while anything is polled, and the coverage is published again after each change.
void __FSEventStream::update_polling() {
  // A polled subtree's path moves with renames above it: published again after every read.
  const std::size_t changes = watcher_ ? watcher_->polling_changes() : 0;
  if (!coverage_published_ || changes != polling_changes_ ||
      (watcher_ && watcher_->polls_subtrees())) {
    polling_changes_ = changes;
    coverage_published_ = true;
    publish_coverage();
  }
  if (started_ && !poll_timer_ && (poller_ || (watcher_ && watcher_->polls_subtrees()))) {
    schedule_poll();
  }
}

void __FSEventStream::publish_coverage() {
  std::vector<VestraStreamControl::Coverage> rows;
  for (const auto& [path, observation] : observations()) {
    rows.push_back(
        {path, observation.observer == vestra::platform::Observer::Inotify ? "inotify" : "polling",
         vestra::platform::reason_text(observation)});
  }
  if (watcher_) {
    for (const auto& [path, observation] : watcher_->polled_subtrees()) {
      rows.push_back({path, "polling", vestra::platform::reason_text(observation)});
    }
  }
  if (control_) {
    std::lock_guard hold(control_->coverage_mutex);
    control_->coverage = rows;
  }
  std::lock_guard hold(coverage_mutex_);
  coverage_ = std::move(rows);
}

std::vector<VestraStreamControl::Coverage> __FSEventStream::coverage() const {
  std::lock_guard hold(coverage_mutex_);
  return coverage_;
}

void __FSEventStream::on_poll_due() {
  poll_timer_ = 0;
  if (!poller_ && !(watcher_ && watcher_->polls_subtrees())) return;
  // Held like reading: what changed meanwhile comes with the first poll after.
  if (!held_.load(std::memory_order_acquire)) {
    if (poller_) poller_->poll(batch_);
    if (watcher_) watcher_->poll(batch_);
    update_polling();
    deliver();
  }
  if (started_ && !poll_timer_ && (poller_ || (watcher_ && watcher_->polls_subtrees()))) {
    schedule_poll();
  }
}

std::vector<std::pair<std::string, vestra::platform::Observation>> __FSEventStream::observations()
    const {
  std::vector<std::pair<std::string, vestra::platform::Observation>> all;
  for (std::size_t i = 0; i < observations_.size(); ++i) {
    all.emplace_back(paths_[i], observations_[i]);
  }
  return all;
}

std::chrono::milliseconds __FSEventStream::poll_delay() const noexcept {
  std::chrono::milliseconds delay = poller_ ? poller_->delay() : std::chrono::milliseconds::zero();
  if (watcher_ && watcher_->polls_subtrees()) delay = std::max(delay, watcher_->poll_delay());
  return delay;
}

void __FSEventStream::deliver() {
  if (batch_.empty()) return;
  const std::size_t count = batch_.size();
  batch_.seal(vestra::platform::latest_event_id.fetch_add(count, std::memory_order_relaxed) + 1);
  delivering_ = true;
  if (flags_ & kFSEventStreamCreateFlagUseCFTypes) {
    CFMutableArrayRef paths = CFArrayCreateMutable(kCFAllocatorDefault, static_cast<CFIndex>(count),
                                                   &kCFTypeArrayCallBacks);
    for (std::size_t i = 0; i < count; ++i) {
      CFStringRef path = vestra::platform::make_string(batch_.path(i));
      CFArrayAppendValue(paths, path);
      CFRelease(path);
    }
    callback_(this, context_.info, count, paths, batch_.flags(), batch_.ids());
    CFRelease(paths);
  } else {
    callback_(this, context_.info, count, batch_.paths(), batch_.flags(), batch_.ids());
  }
  delivering_ = false;
  batch_.clear();
  if (!started_) {  // stopped from inside the callback
    watcher_.reset();
    mounts_.reset();
    poller_.reset();
  }
}

FSEventStreamRef FSEventStreamCreate(CFAllocatorRef, FSEventStreamCallback callback,
                                     FSEventStreamContext* context, CFArrayRef pathsToWatch,
                                     FSEventStreamEventId, CFTimeInterval,
                                     FSEventStreamCreateFlags flags) {
  if (!callback || !pathsToWatch) return nullptr;
  std::vector<std::string> paths;
  const CFIndex count = CFArrayGetCount(pathsToWatch);
  for (CFIndex i = 0; i < count; ++i) {
    const auto given = static_cast<CFStringRef>(CFArrayGetValueAtIndex(pathsToWatch, i));
    std::string path = vestra::platform::stream_path(vestra::platform::string_bytes(given));
    if (!path.empty()) paths.push_back(std::move(path));
  }
  if (paths.empty()) return nullptr;
  return new __FSEventStream(callback, context, std::move(paths), flags);
}

void FSEventStreamScheduleWithRunLoop(FSEventStreamRef streamRef, CFRunLoopRef runLoop,
                                      CFStringRef) {
  if (streamRef && runLoop) streamRef->schedule(*runLoop);
}

void VestraFSEventStreamSetControl(FSEventStreamRef streamRef, VestraStreamControl* control) {
  if (streamRef) streamRef->set_control(control);
}

const uint64_t* VestraFSEventStreamGetRenameMarks(ConstFSEventStreamRef streamRef) {
  // Only the stream's own callback asks, while the stream delivers its batch.
  return streamRef ? const_cast<FSEventStreamRef>(streamRef)->rename_marks() : nullptr;
}

Boolean FSEventStreamStart(FSEventStreamRef streamRef) {
  return streamRef && streamRef->start();
}

// The service documents both as invalid before a start or a schedule; here they are fatal
// errors, so that a tear-down in the wrong order fails on Linux as it would on macOS.
void FSEventStreamStop(FSEventStreamRef streamRef) {
  if (!streamRef) return;
  if (!streamRef->was_started()) {
    vestra::panic_static("FSEventStreamStop on a stream that was never started");
  }
  streamRef->stop();
}

void FSEventStreamInvalidate(FSEventStreamRef streamRef) {
  if (!streamRef) return;
  if (!streamRef->was_scheduled()) {
    vestra::panic_static("FSEventStreamInvalidate on a stream that was never scheduled");
  }
  streamRef->invalidate();
}

void FSEventStreamRelease(FSEventStreamRef streamRef) {
  delete streamRef;
}

FSEventStreamEventId FSEventsGetCurrentEventId(void) {
  return vestra::platform::latest_event_id.load(std::memory_order_relaxed);
}

dev_t FSEventStreamGetDeviceBeingWatched(ConstFSEventStreamRef) {
  return vestra::platform::device_being_watched.load(std::memory_order_relaxed);
}

Boolean FSEventsPurgeEventsForDeviceUpToEventId(dev_t dev, FSEventStreamEventId) {
  // No history is kept, so there is nothing to purge; the request is noted for tests.
  vestra::platform::note_purge(dev);
  return true;
}
