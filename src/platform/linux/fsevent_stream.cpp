#include "platform/linux/fsevent_stream.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/linux/cf_string.h"
#include "platform/linux/current_directory.h"
#include "platform/linux/path_text.h"
#include "support/panic.h"

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

std::string canonical_stream_path(std::string_view given) {
  if (given.empty()) return {};
  std::string base;
  if (given.front() != '/') {
    base = current_directory();
    if (base.empty()) return {};  // relative to a directory that cannot be named
  }
  std::string path = path_text::absolute(given, base);

  // Components past the deepest existing ancestor, last first.
  std::vector<std::string_view> missing;
  std::string_view existing = path;
  while (true) {
    std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(std::string(existing).c_str(), nullptr), &std::free);
    if (resolved) {
      std::string result = resolved.get();
      for (auto component = missing.rbegin(); component != missing.rend(); ++component) {
        if (*component == "..") {
          result = std::string(path_text::parent(result));
        } else {
          path_text::append(result, *component);
        }
      }
      return result;
    }
    if (existing == "/") return path;
    missing.push_back(path_text::last_component(existing));
    existing = path_text::parent(existing);
  }
}

}  // namespace vestra::platform

using vestra::platform::RunLoop;

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

bool __FSEventStream::start() {
  if (!loop_) return false;
  if (started_) return true;
  const auto fault =
      vestra::platform::next_start_fault.exchange(vestra::platform::StartFault::None);
  if (fault == vestra::platform::StartFault::Refuse) return false;
  int error = 0;
  const std::size_t next_limit = vestra::platform::next_watch_limit.exchange(SIZE_MAX);
  if (next_limit != SIZE_MAX) watch_limit_ = next_limit;
  watcher_ = vestra::platform::TreeWatcher::open(
      paths_, watch_limit_, control_ ? control_->watch_count : watch_count_, error);
  if (!watcher_) {
    if (control_) control_->resource_error.store(error, std::memory_order_relaxed);
    return false;
  }
  watcher_->set_control(control_);
  watcher_->start(batch_);
  // A set-up cut short by a stop watches only part of the trees: it did not start.
  if (control_ && control_->stop_requested.load(std::memory_order_relaxed)) {
    watcher_.reset();
    batch_.clear();
    return false;
  }
  reader_ = loop_->add_descriptor(watcher_->fd(), [this] { on_readable(); });
  if (!reader_) {
    watcher_.reset();
    batch_.clear();
    return false;
  }
  if (held_.load(std::memory_order_acquire)) loop_->set_descriptor_enabled(reader_, false);
  started_ = was_started_ = true;
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
  loop_->cancel_timer(flush_timer_);
  loop_->cancel_timer(resync_timer_);
  reader_ = flush_timer_ = resync_timer_ = 0;
  // The batch being delivered is still the callback's; deliver() finishes the stop.
  if (delivering_) return;
  watcher_.reset();
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
  if (const auto delay = watcher_->read(batch_)) schedule_resync(*delay);
  resyncs_.store(watcher_->resync_count(), std::memory_order_relaxed);
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
  deliver();
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
  if (!started_) watcher_.reset();  // stopped from inside the callback
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
    std::string path =
        vestra::platform::canonical_stream_path(vestra::platform::string_bytes(given));
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
