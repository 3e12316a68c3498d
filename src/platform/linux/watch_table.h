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

/// One kernel watch and the roles it plays. A watch is usually one of: a directory of a
/// watched tree, the nearest existing ancestor of missing stream paths (an anchor), or a
/// stream path that is not a directory. One directory may be both of the first two.
struct Watch {
  Watch(int descriptor, std::string full_path) : wd(descriptor), path(std::move(full_path)) {}

  int wd;
  /// The absolute path that records about this directory and its entries carry.
  std::string path;

  // As a directory of the tree of stream path `root`.
  std::uint32_t root = kNoRoot;
  Watch* parent = nullptr;  // null at the top of a tree
  Watch* first_child = nullptr;
  Watch* next_sibling = nullptr;
  Watch* prev_sibling = nullptr;
  dev_t device = 0;                   // the file system it is on
  ino_t inode = 0;                    // the directory itself, as the walk opened it
  std::uint32_t epoch = 0;            // the last resync that found this directory
  bool incomplete = false;            // a listed subdirectory vanished before it was watched
  std::unique_ptr<NameSet> blocked;   // subdirectories that could not be watched or listed
  bool unmounted = false;             // its file system is going away
  std::unique_ptr<NameSet> symlinks;  // entries known to be symbolic links

  /// How many missing stream paths wait for a component to appear in this directory.
  std::uint32_t anchor_count = 0;
  /// The stream path that this watch is, when that path is not a directory.
  std::uint32_t item_root = kNoRoot;
  /// How many stream paths lie below this directory, which is watched for its own move.
  std::uint32_t ancestor_count = 0;

  bool in_tree() const noexcept { return root != kNoRoot; }
  bool has_role() const noexcept {
    return in_tree() || anchor_count > 0 || item_root != kNoRoot || ancestor_count > 0;
  }
};

/// The watches by descriptor, with each tree directory's children by name.
class WatchTable {
 public:
  Watch* find(int wd) noexcept;
  /// Adds a watch with no role yet; `wd` must not be present.
  Watch& insert(int wd, std::string path);
  /// Forgets a watch that is linked to no other (see detach).
  void erase(int wd) noexcept;
  std::size_t size() const noexcept { return watches_.size(); }

  /// The watched directory called `name` directly inside `parent`, if any.
  Watch* child(const Watch& parent, std::string_view name) noexcept;
  /// Makes `child` a child of `parent` under the last component of its path, which must not
  /// name another child of `parent`.
  void link(Watch& parent, Watch& child);
  /// Takes `watch` out of its parent's children; it keeps its own.
  void unlink(Watch& watch) noexcept;
  /// Gives `watch` the path `new_path` and the place under `new_parent` (or the top of a
  /// tree when null) in the tree of `root`, and rewrites the paths below it to match. The
  /// incomplete watches among those moved are appended to `incomplete`, when given.
  void move(Watch& watch, Watch* new_parent, std::string new_path, std::uint32_t root,
            std::vector<int>* incomplete = nullptr);
  /// Takes `top` and everything below it out of their tree, leaving each with no tree role,
  /// and appends their descriptors to `wds`, parents first.
  void detach(Watch& top, std::vector<int>& wds);

  template <class F>
  void for_each(F&& visit) {
    for (auto& entry : watches_) visit(entry.second);
  }

 private:
  struct ChildKey {
    int parent;
    std::string name;
  };
  struct ChildKeyView {
    int parent;
    std::string_view name;
  };
  // Not noexcept: that makes the standard library keep each key's hash beside it, so that
  // walking a bucket compares hashes instead of hashing every name again.
  struct ChildHash {
    using is_transparent = void;
    std::size_t operator()(const ChildKeyView& key) const;
    std::size_t operator()(const ChildKey& key) const {
      return (*this)(ChildKeyView{key.parent, key.name});
    }
  };
  struct ChildEqual {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
      return a.parent == b.parent && std::string_view(a.name) == std::string_view(b.name);
    }
  };

  /// Calls `visit` on every watch below `top` (not `top` itself), parents first. `visit`
  /// must not change the tree.
  template <class F>
  static void for_each_below(Watch& top, F&& visit);

  std::unordered_map<int, Watch> watches_;
  std::unordered_map<ChildKey, Watch*, ChildHash, ChildEqual> children_;
};

}  // namespace vestra::platform
