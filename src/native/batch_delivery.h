// How a watcher's events reach a watch's batches: its event handler and stream callback.
#pragma once

#include <memory>

#include "event/event_handler.h"
#include "native/watch_state.h"
#include "platform/platform.h"

namespace vestra {

/// The handler that adds to `state`'s batches; an error of the watcher becomes "Other", a
/// place to look at again.
std::unique_ptr<EventHandler> make_batching_handler(std::shared_ptr<WatchState> state);

/// The stream callback of the new API: the records' events, renames paired where the
/// platform pairs them, added in one piece per delivery. Only for a watcher whose handler
/// came from make_batching_handler. Platform calling convention; it cannot unwind.
void batch_delivery_callback(ConstFSEventStreamRef stream, void* info, size_t count, void* paths,
                             const FSEventStreamEventFlags flags[],
                             const FSEventStreamEventId ids[]) noexcept;

}  // namespace vestra
