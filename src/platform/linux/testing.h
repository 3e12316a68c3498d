// Test seams of event streams: ways for tests to bring about conditions that the kernel
// produces only under load or at its limits, or that only macOS produces. Unused, they cost
// nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "platform/api/fsevents.h"
#include "platform/api/stream_control.h"
#include "platform/linux/poll_choice.h"

namespace vestra::platform::testing {

/// Makes `stream` refuse every watch beyond the first `limit` as the kernel's watch limit
/// does (ENOSPC). Takes effect at the next FSEventStreamStart.
void set_watch_limit(FSEventStreamRef stream, std::size_t limit);

/// Stops draining the kernel queue of a started stream, so that events pile up in the
/// kernel and overflow it once more than /proc/sys/fs/inotify/max_queued_events are
/// waiting. Callable from any thread while the stream is started.
void hold_reading(FSEventStreamRef stream);
/// Resumes draining after hold_reading. Callable from any thread while the stream is started.
void release_reading(FSEventStreamRef stream);

/// Makes the next FSEventStreamStart of any stream fail, as the service does when it
/// refuses a stream. Any thread.
void refuse_next_start();
/// Makes the run loop of the next stream that starts return from its next run at once, as
/// a loop left without sources does. Any thread.
void end_next_run_at_once();
/// Makes the next stream that starts add at most `limit` watches, as if the kernel's limit
/// were reached there. Any thread.
void limit_next_watches(std::size_t limit);

/// Makes every stream report `device` as the device it watches (0, the default, for none).
void set_device_being_watched(dev_t device);
/// The devices that purges were requested for since the last call, in order.
std::vector<dev_t> take_purged_devices();

/// The kernel watches that `stream` holds now; 0 when it is not started. Any thread.
std::size_t watch_count(ConstFSEventStreamRef stream);
/// How many resyncs after lost events `stream` has run. Any thread.
std::size_t resync_count(ConstFSEventStreamRef stream);
/// How each path of a started `stream` is observed, in the order given. Any thread once
/// the start has returned.
std::vector<Observer> observers(ConstFSEventStreamRef stream);

/// The coverage rows `stream` published last: (directory, mechanism, reason). Any thread.
std::vector<VestraStreamControl::Coverage> coverage(ConstFSEventStreamRef stream);

}  // namespace vestra::platform::testing
