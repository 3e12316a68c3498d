// One event as the native core of the watch API hands it to Python.
#pragma once

#include <optional>
#include <string>

#include "event/event.h"

namespace vestra {

/// Whether an event's path is a directory: yes, no, or not known.
enum class IsDir : signed char { Unknown = -1, No = 0, Yes = 1 };

/// An event's kind text (as rswatcher writes kinds), its path, the path it came from for
/// a rename or an exchange, and whether it is a directory.
struct NativeEvent {
  std::string text;
  Path path;
  std::optional<Path> old_path;
  IsDir is_dir = IsDir::Unknown;

  friend bool operator==(const NativeEvent&, const NativeEvent&) = default;
};

}  // namespace vestra
