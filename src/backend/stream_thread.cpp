// The watcher's stream and the thread whose run loop carries it.
#include <sched.h>

#include "backend/stream_callback.h"
#include "backend/stream_context.h"
#include "backend/watcher.h"
#include "support/channel.h"

namespace vestra {

namespace {

constexpr const char* kLoopThreadName = "murmelant fsevents loop";

/// Carries one Core Foundation reference to another thread without retaining it.
struct CFSendWrapper {
  CFTypeRef ref;
};

/// Owns a created stream until the loop thread has released it, so that a fatal error on
/// the way still ends the stream and releases its context.
class StreamOwner {
 public:
  explicit StreamOwner(FSEventStreamRef stream) noexcept : stream_(stream) {}
  StreamOwner(StreamOwner&& other) noexcept : stream_(std::exchange(other.stream_, nullptr)) {}
  StreamOwner(const StreamOwner&) = delete;
  ~StreamOwner() {
    if (!stream_) return;
    FSEventStreamStop(stream_);
    FSEventStreamInvalidate(stream_);
    FSEventStreamRelease(stream_);
  }
  FSEventStreamRef get() const noexcept { return stream_; }
  FSEventStreamRef release() noexcept { return std::exchange(stream_, nullptr); }

 private:
  FSEventStreamRef stream_;
};

/// The loop thread: schedule and start the stream on this thread's run loop, hand the run
/// loop to the watcher, run until stopped, then end the stream.
void run_stream_loop(StreamOwner owner, Sender<CFSendWrapper> handshake) {
  FSEventStreamRef stream = owner.get();
  CFRunLoopRef run_loop = CFRunLoopGetCurrent();
  FSEventStreamScheduleWithRunLoop(stream, run_loop, kCFRunLoopDefaultMode);
  (void)FSEventStreamStart(stream);
  if (handshake.send(CFSendWrapper{run_loop}).is_err()) {
    panic_static("Unable to send runloop to watcher");
  }

  CFRunLoopRun();

  owner.release();
  FSEventStreamStop(stream);
  const FSEventStreamEventId event_id = FSEventsGetCurrentEventId();
  const dev_t device = FSEventStreamGetDeviceBeingWatched(stream);
  (void)FSEventsPurgeEventsForDeviceUpToEventId(device, event_id);
  FSEventStreamInvalidate(stream);
  // Deallocates the stream, which calls release_context on this thread before returning.
  FSEventStreamRelease(stream);
}

std::string describe_failure(const PanicPayload& payload) {
  if (const auto* text = std::get_if<std::string>(&payload)) return *text;
  if (const auto* text = std::get_if<const char*>(&payload)) return *text;
  return "Any { .. }";
}

}  // namespace

Result<Unit, Error> FsEventWatcher::run() {
  if (CFArrayGetCount(stream_paths_.get()) == 0) return Err(Error::path_not_found());

  auto* info = new StreamContextInfo{event_handler_, subtree_by_path_};
  FSEventStreamContext context{0, info, nullptr, release_context, nullptr};
  FSEventStreamRef stream =
      FSEventStreamCreate(kCFAllocatorDefault, callback, &context, stream_paths_.get(), since_when_,
                          latency_, create_flags_);
  if (!stream) {
    // No stream took the context over.
    release_context(info);
    return Err(Error(ErrorKind::Generic{"the event stream could not be created"}));
  }
  StreamOwner owner(stream);

  auto [handshake, run_loop_receiver] = channel<CFSendWrapper>();
  auto thread = JoinableThread::spawn(
      kLoopThreadName, [owner = std::move(owner), handshake = std::move(handshake)]() mutable {
        run_stream_loop(std::move(owner), std::move(handshake));
      });
  // A thread that could not start dropped its body, and with it the stream and context.
  if (thread.is_err()) return Err(Error::io(thread.error()));

  const CFSendWrapper run_loop = run_loop_receiver.recv().unwrap();
  active_loop_.emplace(ActiveLoop{static_cast<CFRunLoopRef>(const_cast<void*>(run_loop.ref)),
                                  std::move(thread).value()});
  return Ok();
}

void FsEventWatcher::stop() {
  if (!active_loop_) return;
  ActiveLoop loop = std::move(*active_loop_);
  active_loop_.reset();

  // Stop only a loop that is waiting: a batch being delivered is delivered completely, and
  // a stop that came before the loop began to run is not lost.
  while (!CFRunLoopIsWaiting(loop.run_loop)) sched_yield();
  CFRunLoopStop(loop.run_loop);
  if (auto failure = loop.thread.join()) {
    panic("thread to shut down: " + describe_failure(*failure));
  }
}

}  // namespace vestra
