// The kernel watches of one stream: what each watch descriptor stands for, and the
// directory trees that the watches of watched directories form.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/child_index.h"
#include "platform/linux/file_identity.h"
#include "platform/linux/watch_slots.h"

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

/// The watches by descriptor, with each tree directory's children by name.
class WatchTable {
 public:
  Watch* find(int wd) noexcept;
  /// Adds a watch with no role yet; `wd` must not be present.
  Watch& insert(int wd, std::string name);
  /// Forgets a watch that is linked to no other (see detach).
  void erase(int wd) noexcept;
  std::size_t size() const noexcept { return watches_.size(); }

  /// The absolute path of `watch`, built from the names up to the top of its tree.
  std::string path(const Watch& watch) const;
  /// The same, from a copy kept while the table does not change: a run of records about
  /// one directory builds its path once. Valid until the next call or change.
  std::string_view cached_path(const Watch& watch);
  /// The watched directory called `name` directly inside `parent`, if any.
  Watch* child(const Watch& parent, std::string_view name) noexcept;
  /// Gives an unlinked `watch` a new name.
  void rename(Watch& watch, std::string name) {
    ++changes_;
    watch.name = std::move(name);
  }
  /// Makes `child` a child of `parent` under its name, which must not name another child.
  void link(Watch& parent, Watch& child);
  /// Takes `watch` out of its parent's children, giving it its whole path as its name; it
  /// keeps its own children.
  void unlink(Watch& watch);
  /// Puts `watch` under `new_parent` as `new_name` (or at the top of a tree, `new_name` then
  /// being its whole path) in the tree of `root`. Within one tree this changes one watch,
  /// whatever lies below it. The incomplete watches among those moved are appended to
  /// `incomplete`, when given.
  void move(Watch& watch, Watch* new_parent, std::string new_name, std::uint32_t root,
            std::vector<int>* incomplete = nullptr);
  /// Takes `top` and everything below it out of their tree, leaving each with no tree role,
  /// and appends their descriptors to `wds`, parents first.
  void detach(Watch& top, std::vector<int>& wds);
  /// Marks or clears `watch` as incomplete (see Watch::incomplete).
  void set_incomplete(Watch& watch, bool incomplete);

  template <class F>
  void for_each(F&& visit) {
    watches_.for_each(visit);
  }

 private:
  /// Calls `visit` on every watch below `top` (not `top` itself), parents first. `visit`
  /// must not change the tree.
  template <class F>
  static void for_each_below(Watch& top, F&& visit);

  Slots<Watch> watches_;
  std::uint64_t changes_ = 0;  // counts changes to names and links
  std::uint64_t cached_changes_ = 0;
  int cached_wd_ = -1;
  std::string cached_path_;
  // The linked children, by parent and name; a child is linked while its parent is set.
  ChildIndex children_;
  std::unordered_set<int> incomplete_;
};

}  // namespace vestra::platform
