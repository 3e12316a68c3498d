// What a stream hands to every call of its callback.
#pragma once

#include "backend/watch_registry.h"
#include "event/event_handler.h"

namespace vestra {

/// Owned by the stream from its creation; the stream gives it back through
/// `release_context` when it is deallocated.
struct StreamContextInfo {
  /// A further share of the watcher's handler, taken when the stream was created.
  SharedEventHandler event_handler;
  /// The watcher's registry as it stood when the stream was created.
  WatchRegistry subtree_by_path;
};

/// The stream context's release function: frees the record and its share of the handler.
/// Platform calling convention; it cannot fail.
void release_context(const void* info) noexcept;

}  // namespace vestra
