// The watcher's stream and the thread whose run loop carries it.
#include <chrono>
#include <thread>

#include "backend/stream_callback.h"
#include "backend/stream_context.h"
#include "backend/stream_owner.h"
#include "backend/watcher.h"
#include "support/channel.h"

namespace vestra {

namespace {

constexpr const char* kLoopThreadName = "murmelant fsevents loop";

/// Purges the service's stored history of the stream's device up to the current event.
/// A stream not created relative to a device reports device 0, which names no device.
void purge_history(ConstFSEventStreamRef stream) {
  const FSEventStreamEventId event_id = FSEventsGetCurrentEventId();
  const dev_t device = FSEventStreamGetDeviceBeingWatched(stream);
  if (device == 0) return;
  (void)FSEventsPurgeEventsForDeviceUpToEventId(device, event_id);
}

/// The loop thread: schedule and start the stream on this thread's run loop, hand the run
/// loop (retained, for the watcher to stop it from its own thread) to the watcher, run
/// until stopped, then end the stream. A stream that does not start is handed back as a
/// null run loop, and the thread ends.
void run_stream_loop(StreamOwner owner, Sender<CFRef<CFRunLoopRef>> handshake) {
  CFRunLoopRef run_loop = CFRunLoopGetCurrent();
  owner.schedule(run_loop);
  if (!owner.start()) {
    (void)handshake.send(CFRef<CFRunLoopRef>());
    return;
  }
  CFRetain(run_loop);
  if (handshake.send(CFRef<CFRunLoopRef>(run_loop)).is_err()) {
    panic_static("Unable to send runloop to watcher");
  }

  CFRunLoopRun();

  owner.stop();
  purge_history(owner.get());
  // The owner invalidates and releases the stream, which calls release_context on this
  // thread before returning.
}

std::string describe_failure(const PanicPayload& payload) {
  if (const auto* text = std::get_if<std::string>(&payload)) return *text;
  if (const auto* text = std::get_if<const char*>(&payload)) return *text;
  return "Any { .. }";
}

}  // namespace

Result<Unit, Error> FsEventWatcher::run() {
  if (CFArrayGetCount(stream_paths_.get()) == 0) return Err(Error::path_not_found());

  auto control = std::make_unique<VestraStreamControl>();
  control->skip_directory = skip_directory_;
  control->skip_info = skip_info_;
  control->polling = polling_;
  control->poll_interval_seconds = poll_interval_seconds_;
  {
    std::lock_guard hold(control_mutex_);
    if (closed_) return Err(Error(ErrorKind::Generic{"the watch was stopped"}));
    control_ = std::move(control);
  }

  auto* info = new StreamContextInfo{event_handler_, subtree_by_path_};
  FSEventStreamContext context{0, info, nullptr, release_context, nullptr};
  FSEventStreamRef stream =
      FSEventStreamCreate(kCFAllocatorDefault, stream_callback_, &context, stream_paths_.get(),
                          since_when_, latency_, create_flags_);
  if (!stream) {
    // No stream took the context over.
    release_context(info);
    return Err(Error(ErrorKind::Generic{"the event stream could not be created"}));
  }
  StreamOwner owner(stream);
#if !defined(__APPLE__)
  VestraFSEventStreamSetControl(stream, control_.get());
#endif

  auto [handshake, run_loop_receiver] = channel<CFRef<CFRunLoopRef>>();
  auto thread = JoinableThread::spawn(
      kLoopThreadName, [owner = std::move(owner), handshake = std::move(handshake)]() mutable {
        run_stream_loop(std::move(owner), std::move(handshake));
      });
  // A thread that could not start dropped its body, and with it the stream and context.
  if (thread.is_err()) return Err(Error::io(thread.error()));

  CFRef<CFRunLoopRef> run_loop = run_loop_receiver.recv().unwrap();
  if (!run_loop) {
    // The thread has released the stream and its context, or is about to; wait for it.
    if (auto failure = thread.value().join()) {
      panic("thread to shut down: " + describe_failure(*failure));
    }
    return Err(Error(ErrorKind::Generic{"the event stream could not be started"}));
  }
  active_loop_.emplace(ActiveLoop{std::move(run_loop), std::move(thread).value()});
  return Ok();
}

void FsEventWatcher::stop() {
  if (!active_loop_) return;
  ActiveLoop loop = std::move(*active_loop_);
  active_loop_.reset();

  {
    // A walk in progress on the loop's thread ends at its next directory.
    std::lock_guard hold(control_mutex_);
    control_->stop_requested.store(true, std::memory_order_relaxed);
  }
  // A stop ends the run in progress once its callback, if any, has returned: a batch being
  // delivered is delivered completely. Apple's run loops drop a stop that comes before the
  // run has begun, so there it is asked again every millisecond until the thread ends.
  CFRunLoopStop(loop.run_loop.get());
#if defined(__APPLE__)
  while (!loop.thread.is_finished()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CFRunLoopStop(loop.run_loop.get());
  }
#endif
  if (auto failure = loop.thread.join()) {
    panic("thread to shut down: " + describe_failure(*failure));
  }
}

void FsEventWatcher::request_stop() noexcept {
  std::lock_guard hold(control_mutex_);
  closed_ = true;
  if (control_) control_->stop_requested.store(true, std::memory_order_relaxed);
}

bool FsEventWatcher::stop_requested() const noexcept {
  std::lock_guard hold(control_mutex_);
  return closed_;
}

std::size_t FsEventWatcher::watch_count() const noexcept {
  std::lock_guard hold(control_mutex_);
  return control_ ? control_->watch_count.load(std::memory_order_relaxed) : 0;
}

int FsEventWatcher::resource_error() const noexcept {
  std::lock_guard hold(control_mutex_);
  return control_ ? control_->resource_error.load(std::memory_order_relaxed) : 0;
}

bool FsEventWatcher::descriptor_limit() const noexcept {
  std::lock_guard hold(control_mutex_);
  return control_ && control_->descriptor_limit.load(std::memory_order_relaxed);
}

std::vector<VestraStreamControl::Coverage> FsEventWatcher::coverage() const {
  std::lock_guard hold(control_mutex_);
  if (!control_) return {};
  std::lock_guard rows(control_->coverage_mutex);
  return control_->coverage;
}

void FsEventWatcher::set_directory_filter(bool (*skip)(const void*, const char*, size_t),
                                          const void* info) {
  skip_directory_ = skip;
  skip_info_ = info;
}

}  // namespace vestra
