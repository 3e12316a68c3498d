#include "backend/stream_owner.h"

namespace vestra {

StreamOwner::~StreamOwner() {
  if (!stream_) return;
  stop();
  if (scheduled_) FSEventStreamInvalidate(stream_);
  FSEventStreamRelease(stream_);
}

void StreamOwner::schedule(CFRunLoopRef run_loop) {
  // Deprecated from macOS 13 in favour of dispatch queues, but still supported. The watcher
  // stops a stream only once its run loop is idle (CFRunLoopIsWaiting), so that a batch
  // being delivered is delivered whole; a dispatch queue offers no such question.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  FSEventStreamScheduleWithRunLoop(stream_, run_loop, kCFRunLoopDefaultMode);
#pragma GCC diagnostic pop
  scheduled_ = true;
}

bool StreamOwner::start() {
  started_ = FSEventStreamStart(stream_);
  return started_;
}

void StreamOwner::stop() {
  if (!std::exchange(started_, false)) return;
  FSEventStreamStop(stream_);
}

}  // namespace vestra
