// Turning two snapshots of one tree into the stream records that tell the change.
#pragma once

#include <string_view>

#include "platform/linux/event_batch.h"
#include "platform/linux/poll_snapshot.h"

namespace vestra::platform {

/// Adds the records that take `before` to `after`, the snapshots of the tree at `root`:
/// replayed over `before` they give `after`. First the removals of what is gone, deepest
/// first; then, in path order, what is new, and every object found under another name as a
/// rename (its two halves adjacent, old path first; a renamed directory carries what it
/// holds; two objects that traded places are an exchange, the renames P, Q and Q, P); last
/// the writes and metadata changes of what stayed. Every record names a path as the records
/// before it left the tree.
void diff_snapshots(const Snapshot& before, const Snapshot& after, std::string_view root,
                    EventBatch& out);

}  // namespace vestra::platform
