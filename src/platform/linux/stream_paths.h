// The paths a stream watches, each watched by name: as a tree, as one item, or through the
// nearest directory above it while it is missing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/linux/event_batch.h"
#include "platform/linux/file_identity.h"
#include "platform/linux/tree_walk.h"
#include "platform/linux/watch_set.h"

namespace vestra::platform {

/// Whether what a stream path is found to be when it is watched again is reported: not at
/// all, all of it as created, or, as for a directory moved in, what changed since the last
/// records were read (a tree only; anything else is then not reported).
enum class Report : std::uint8_t { No, Yes, Since };

/// The stream paths of one watcher, by index (Watch::root and item_root refer to them).
class StreamPaths {
 public:
  /// Keeps the `paths` (absolute and normalized) that are not inside another, in their first
  /// order; a path inside another is covered by that one.
  StreamPaths(const std::vector<std::string>& paths, WatchSet& watches, TreeWalk& walk);

  std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(paths_.size()); }
  const std::string& path(std::uint32_t index) const { return paths_[index].path; }
  /// Whether stream path `index` is watched as the tree whose top is `wd`.
  bool is_tree_top(std::uint32_t index, int wd) const;
  /// The watch of the top of stream path `index`'s tree, -1 when it is not watched as one.
  int tree_top(std::uint32_t index) const;
  /// Whether stream path `index` waits for something to appear or become readable.
  bool is_waiting(std::uint32_t index) const;

  /// Watches every path.
  void start(EventBatch& out);
  /// Watches path `index` again from scratch.
  void renew(std::uint32_t index, KernelWatch kernel, Report report, EventBatch& out);

  // Kernel events.
  void on_root_self_event(Watch& top, std::uint32_t mask, EventBatch& out);
  void on_item_root_event(Watch& item, std::uint32_t mask, EventBatch& out);
  void on_anchor_event(int wd, std::uint32_t mask, std::string_view name, EventBatch& out);
  /// The kernel dropped the anchor `wd`: the paths that waited in it look again.
  void on_anchor_ignored(int wd, EventBatch& out);
  void on_ancestor_gone(int wd, EventBatch& out);

  /// Walks every tree again after lost events; a tree that is not found again is unwatched.
  void rewalk_trees(EventBatch& out);
  /// Watches again every path that is not a tree, reporting nothing.
  void renew_all_but_trees(EventBatch& out);

 private:
  struct Tree {
    int top;  // the watch of the directory at the top
  };
  struct Item {
    int wd;
    FileIdentity identity;
    FSEventStreamEventFlags type;  // IsFile or IsSymlink
  };
  struct Missing {
    int anchor;        // the watch of the nearest existing directory above
    std::string next;  // the component awaited there
  };
  struct Unwatched {};
  struct StreamPath {
    std::string path;
    std::variant<Unwatched, Tree, Item, Missing> state;
    /// Watches of the directories above, taken when the path is watched as a tree or an
    /// item and held until it is forgotten.
    std::vector<int> ancestors;
  };
  enum class Attempt : std::uint8_t { Done, Retry };

  void forget_root(std::uint32_t index, KernelWatch kernel);
  void resolve_root(std::uint32_t index, Report report, EventBatch& out);
  Attempt resolve_as_tree(std::uint32_t index, Report report, EventBatch& out);
  Attempt resolve_as_item(std::uint32_t index, const struct stat& st, Report report,
                          EventBatch& out);
  Attempt wait_on_anchor(std::uint32_t index, EventBatch& out);
  Attempt wait_until_readable(std::uint32_t index);
  void watch_ancestors(StreamPath& root);
  void release_ancestors(StreamPath& root, KernelWatch kernel);
  /// The indexes of the paths that `match`, taken before any of them changes.
  template <class Match>
  std::vector<std::uint32_t> matching(Match&& match) const;

  std::vector<StreamPath> paths_;
  WatchSet& watches_;
  TreeWalk& walk_;
};

}  // namespace vestra::platform
