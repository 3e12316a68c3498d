// What a poll sees of a directory tree: the status of every entry, and the names each
// directory held when it was last listed.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/file_identity.h"

namespace vestra::platform {

enum class EntryType : std::uint8_t { File, Directory, Symlink, Other };

/// The part of an entry's status that tells whether, and how, it changed.
struct EntryStatus {
  FileIdentity identity;
  EntryType type = EntryType::File;
  std::int64_t size = 0;
  std::int64_t mtime = 0;  // nanoseconds
  std::int64_t ctime = 0;  // nanoseconds
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  nlink_t links = 1;

  static EntryStatus of(const struct stat& st) noexcept;
  friend bool operator==(const EntryStatus&, const EntryStatus&) = default;
};

struct PolledEntry {
  EntryStatus status;
  /// Directories: the names listed in it, sorted. Empty for one that could not be read.
  std::vector<std::string> names;
  /// Directories: the modification time was the same at the last two polls, so a listing
  /// taken at the first of them cannot have missed a change made in the same clock tick.
  bool settled = false;
};

/// The entries of one tree by path relative to its top ("" is the top, "a/b" below it),
/// in path order, so that a directory comes before what it holds.
using Snapshot = std::map<std::string, PolledEntry, std::less<>>;

/// The tree at `root` as it is now; empty when nothing is there. Symbolic links are not
/// followed. A directory found unchanged and settled in `previous` is not listed again:
/// its names are taken from there and each is looked at afresh.
Snapshot take_snapshot(const std::string& root, const Snapshot* previous = nullptr);

/// How many directories the last take_snapshot() on this thread listed; for tests.
std::size_t listed_by_last_snapshot() noexcept;

}  // namespace vestra::platform
