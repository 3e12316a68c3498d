// Reduces a batch to the net change per path.
#pragma once

#include <vector>

#include "native/native_event.h"

namespace vestra {

/// The net change of each path over `batch`, in the order of each path's first event:
/// created then removed is nothing, removed then created is one creation, many writes are
/// one write, metadata changes beside a write are dropped. Renames, exchanges, moves in or
/// out, rescans and other events stay as they are, in place; events after one of them on
/// the paths it names are reduced on their own.
std::vector<NativeEvent> coalesce(std::vector<NativeEvent> batch);

}  // namespace vestra
