// Translation of raw stream records into events, on the stream's thread.
#pragma once

#include <string_view>
#include <vector>

#include "backend/stream_context.h"
#include "backend/stream_flags.h"
#include "event/event.h"
#include "platform/platform.h"

namespace vestra {

/// The stream's callback. For each record in order: decode the flags (unnamed bits are a
/// fatal error), drop it unless a watched path admits it, translate the flags into events
/// and deliver each, with the record's path, to the context's handler under its mutex.
/// The platform calls it and it cannot unwind: a fatal error inside aborts the process.
void callback(ConstFSEventStreamRef stream, void* info, size_t count, void* paths,
              const FSEventStreamEventFlags flags[], const FSEventStreamEventId ids[]) noexcept;

/// True when some watched path admits `path`: it lies under a Subtree watch, or is a
/// DirectChildren watch's path or one of its direct entries. Paths compare by component.
bool is_admitted(std::string_view path, const WatchRegistry& subtree_by_path) noexcept;

/// The events that a record with `flags` reports, in rule order, without paths.
std::vector<Event> events_from_flags(StreamFlags flags);
/// The same, appended to `out` (which the callback reuses across records).
void append_events_from_flags(StreamFlags flags, std::vector<Event>& out);

}  // namespace vestra
