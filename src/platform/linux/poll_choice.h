// Which stream paths are polled instead of watched with inotify, and how often.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace vestra::platform {

/// How a directory is observed, and why.
enum class Observer : std::uint8_t {
  Inotify,
  PollForced,  // VESTRA_POLL=1 asks to poll everything
  PollRemote,  // a file system whose changes made elsewhere make no inotify event here
  PollNoWatch,  // the inotify watch limit was reached
};

struct Observation {
  Observer observer = Observer::Inotify;
  /// For PollRemote, the kind of file system, such as "nfs" or "fuse".
  std::string_view file_system;
};

/// How a new watch of `path` observes it: polled when polling is forced or when the file
/// system holding it (or its nearest existing ancestor) is one inotify cannot see into.
Observation choose_observer(const std::string& path);

/// The name of a file system type (statfs f_type) whose remote changes inotify does not
/// report, or empty for one it watches fully.
std::string_view remote_file_system(long type) noexcept;

/// Whether VESTRA_POLL=1 is set.
bool polling_forced();

/// The time between polls: VESTRA_POLL_INTERVAL in seconds (fractions allowed), 1 s when
/// it is unset or not a positive number.
std::chrono::milliseconds poll_interval();

}  // namespace vestra::platform
