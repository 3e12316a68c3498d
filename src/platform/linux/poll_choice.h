// Which stream paths are polled instead of watched with inotify, and how often.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vestra::platform {

/// How a directory is observed, and why.
enum class Observer : std::uint8_t {
  Inotify,
  PollForced,   // VESTRA_POLL=1 asks to poll everything
  PollRemote,   // a file system whose changes made elsewhere make no inotify event here
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
/// The same with forced polling given, rather than taken from VESTRA_POLL.
Observation choose_observer(const std::string& path, bool forced);

/// Why a directory is observed as it is, in a few words ("kernel watches", "forced", ...).
std::string reason_text(const Observation& observation);

/// How the directory at `path`, open as `fd`, the root of a file system mounted inside a
/// watched tree, is observed: polled when that file system is remote. Forced polling does
/// not count here; it applies to whole stream paths.
Observation mount_observer(const std::string& path, int fd);

/// Makes mount_observer() take every directory at one of `paths` for the root of a FUSE
/// mount, mounted or not; for tests. Empty: none.
void treat_as_remote(std::vector<std::string> paths);

/// Whether treat_as_remote() named any path.
bool remote_paths_named() noexcept;

/// The name of a file system type (statfs f_type) whose remote changes inotify does not
/// report, or empty for one it watches fully.
std::string_view remote_file_system(long type) noexcept;

/// Whether VESTRA_POLL=1 is set.
bool polling_forced();

/// The time between polls: VESTRA_POLL_INTERVAL in seconds (fractions allowed), 1 s when
/// it is unset or not a positive number.
std::chrono::milliseconds poll_interval();
/// `seconds` as a time between polls, at least 1 ms; nullopt for what is not a positive
/// number of seconds up to a day.
std::optional<std::chrono::milliseconds> poll_interval_of(double seconds);

}  // namespace vestra::platform
