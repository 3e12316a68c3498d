// The registry of watched paths and how deep each is watched.
#pragma once

#include <unordered_map>

#include "event/event.h"
#include "support/path.h"

namespace vestra {

/// How deep a watched path is observed.
enum class WatchDepth {
  Subtree = 0,         ///< the path and everything beneath it
  DirectChildren = 1,  ///< the path itself and the entries directly inside it
};

/// Canonical watched path -> true when watched as Subtree. Keys compare component by
/// component, so "/w/a/" and "/w/a" are one key.
using WatchRegistry = std::unordered_map<Path, bool, PathHash, PathEqual>;

}  // namespace vestra
