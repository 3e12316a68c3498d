// One kernel watch and the roles it plays, with the names kept beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/linux/file_identity.h"

namespace vestra::platform {

/// Marks a watch that belongs to no stream path.
inline constexpr std::uint32_t kNoRoot = UINT32_MAX;

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};
/// Names, looked up without building a string.
using NameSet = std::unordered_set<std::string, NameHash, std::equal_to<>>;

/// The rarer parts of a watch.
struct WatchExtras {
  NameSet symlinks;  // entries known to be symbolic links
  NameSet blocked;   // subdirectories that could not be watched or listed
  /// How many missing stream paths wait for a component to appear in this directory.
  std::uint32_t anchor_count = 0;
  /// The stream path that this watch is, when that path is not a directory.
  std::uint32_t item_root = kNoRoot;
  /// How many stream paths lie below this directory, which is watched for its own move.
  std::uint32_t ancestor_count = 0;
};

/// One kernel watch and the roles it plays. A watch is usually one of: a directory of a
/// watched tree, the nearest existing ancestor of missing stream paths (an anchor), a
/// stream path that is not a directory, or a directory above stream paths. One directory
/// may play several of these roles.
struct Watch {
  Watch(int descriptor, std::string given_name) : wd(descriptor), name(std::move(given_name)) {}

  int wd;
  // As a directory of the tree of stream path `root`.
  std::uint32_t root = kNoRoot;
  /// Its name in its parent directory; the whole path when it has no parent. Paths are
  /// built from the names when a record is made, so a rename changes one name.
  std::string name;
  Watch* parent = nullptr;  // null at the top of a tree
  Watch* first_child = nullptr;
  Watch* next_sibling = nullptr;
  Watch* prev_sibling = nullptr;
  FileIdentity identity{};  // the directory itself, as the walk opened it
  std::uint32_t epoch = 0;  // the last resync that found this directory
  bool incomplete = false;  // a listed subdirectory vanished before it was watched
  bool unmounted = false;   // its file system is going away
  /// A remote file system's root: what it holds is polled, its own records are not read.
  bool polled = false;
  bool forgotten = false;  // removed from the table; its storage goes at reclaim()
  /// What few watches need; kept apart so that the many directories stay small.
  std::unique_ptr<WatchExtras> extras;

  WatchExtras& more() {
    if (!extras) extras = std::make_unique<WatchExtras>();
    return *extras;
  }
  std::uint32_t anchor_count() const noexcept { return extras ? extras->anchor_count : 0; }
  std::uint32_t item_root() const noexcept { return extras ? extras->item_root : kNoRoot; }
  std::uint32_t ancestor_count() const noexcept { return extras ? extras->ancestor_count : 0; }
  bool is_blocked() const noexcept { return extras && !extras->blocked.empty(); }

  bool in_tree() const noexcept { return root != kNoRoot; }
  bool has_role() const noexcept {
    return in_tree() || anchor_count() > 0 || item_root() != kNoRoot || ancestor_count() > 0;
  }
};

}  // namespace vestra::platform
