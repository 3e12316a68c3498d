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
#include "platform/linux/watch.h"
#include "platform/linux/watch_slots.h"

namespace vestra::platform {

/// The watches by descriptor, with each tree directory's children by name.
class WatchTable {
 public:
  Watch* find(int wd) noexcept;
  /// Adds a watch with no role yet; `wd` must not be present.
  Watch& insert(int wd, std::string name);
  /// Forgets a watch that is linked to no other (see detach).
  void erase(int wd) noexcept;
  /// Forgets it the same way, but keeps its storage until reclaim(), so that a reference
  /// to it stays valid; it is no longer found, counted or visited.
  void retire(int wd);
  /// Frees the storage of the watches retired since the last call.
  void reclaim() noexcept;
  std::size_t size() const noexcept { return watches_.size() - retired_.size(); }

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
    watches_.for_each([&](Watch& watch) {
      if (!watch.forgotten) visit(watch);
    });
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
  std::vector<int> retired_;
};

}  // namespace vestra::platform
