// The kernel watches of one stream: adding and removing them, within a limit, and what
// each stands for.
#pragma once

#include <sys/inotify.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/api/fsevents.h"
#include "platform/linux/watch_table.h"

namespace vestra::platform {

/// Whether the kernel still holds a watch that is being forgotten.
enum class KernelWatch : std::uint8_t {
  Remove,       // it does: it is removed there too
  AlreadyGone,  // the kernel dropped it itself (IN_IGNORED)
};

/// The roles of a watch that stream paths take and give back, beside being a tree directory:
/// the nearest existing directory above missing paths, a path that is not a directory, and
/// a directory above paths, watched for its own move.
enum class Role : std::uint8_t { Anchor, Item, Ancestor };

/// Adds watches to one inotify instance and keeps the table of what they stand for. The
/// number held is published, and adding fails past a limit as the kernel's own limit does.
class WatchSet {
 public:
  /// Told of each watch forgotten, so that what refers to it by descriptor goes too.
  class Listener {
   public:
    virtual void on_watch_removed(int wd) = 0;

   protected:
    ~Listener() = default;
  };

  /// Adds watches through `kernel`, which must outlive the set, at most `max_watches`; their
  /// number is published in `watch_count`.
  WatchSet(int kernel, std::size_t max_watches, std::atomic<std::size_t>& watch_count,
           Listener& listener);
  WatchSet(const WatchSet&) = delete;
  WatchSet& operator=(const WatchSet&) = delete;
  ~WatchSet();

  WatchTable& table() noexcept { return table_; }

  // Look-ups and moves within the trees, which the watcher makes at every step.
  Watch* find(int wd) noexcept { return table_.find(wd); }
  Watch* child(const Watch& parent, std::string_view name) noexcept {
    return table_.child(parent, name);
  }
  std::string path(const Watch& watch) const { return table_.path(watch); }
  std::string_view cached_path(const Watch& watch) { return table_.cached_path(watch); }
  void move(Watch& watch, Watch* new_parent, std::string new_name, std::uint32_t root,
            std::vector<int>* incomplete = nullptr) {
    table_.move(watch, new_parent, std::move(new_name), root, incomplete);
  }
  void unlink(Watch& watch) { table_.unlink(watch); }
  template <class F>
  void for_each(F&& visit) {
    table_.for_each(std::forward<F>(visit));
  }

  /// The descriptor of a watch on `path` (the kernel's own when it has one already), or
  /// minus the error.
  int add_watch(const char* path, std::uint32_t mask);
  /// The same for the tree directory at `path`.
  int add_directory_watch(const std::string& path);
  /// The same for the tree directory open as `dir_fd`, found at `path`.
  int add_directory_watch(const std::string& path, int dir_fd);
  /// Enters a watch that the table does not know yet, with no role.
  Watch& new_watch(int wd, std::string name);
  /// Gives the watch `wd` one more `role` (for Item, as stream path `index`), entering it
  /// under `name` when the table does not know it yet: the kernel gives one directory one
  /// descriptor, whatever roles it plays already.
  void take_role(int wd, std::string name, Role role, std::uint32_t index = kNoRoot);
  /// Takes one `role` back from the watch `wd` (for Item, only as stream path `index`), when
  /// it plays it. A watch left with no role goes; an anchor only at the next prune(), so that
  /// waiting again in the same directory keeps its watch.
  void give_back(int wd, Role role, KernelWatch kernel, std::uint32_t index = kNoRoot);
  /// Forgets a watch that is linked to no other. It is no longer found at once, but a
  /// reference to it stays valid until end_record().
  void remove_watch(int wd, KernelWatch kernel);
  /// Frees the watches forgotten while a record (or a walk, a resync) was handled.
  void end_record() noexcept { table_.reclaim(); }
  /// Removes from the kernel a watch just added that the table does not know.
  void discard_if_unknown(int wd);
  /// Removes `wd` at the next prune() if it has no role by then.
  void prune_later(int wd) { prune_candidates_.push_back(wd); }
  void prune();
  /// Takes `top` and everything below it out of their tree; those left with no role go.
  void drop_tree(Watch& top, KernelWatch kernel);
  /// Whether a watch was ever refused because the watch limit was reached.
  bool limit_reached() const noexcept { return limit_reached_; }

 private:
  const int kernel_;
  const std::size_t max_watches_;
  std::atomic<std::size_t>& watch_count_;
  const bool proc_fd_;  // watches can be added through /proc/self/fd
  Listener& listener_;
  WatchTable table_;
  std::vector<int> prune_candidates_;
  bool limit_reached_ = false;
};

/// Remembers that `name` in `dir` is a symbolic link.
void remember_symlink(Watch& dir, std::string_view name);
/// Forgets that; true when it was known.
bool forget_symlink(Watch& dir, std::string_view name);
/// kIsSymlink for a name known to be a symbolic link, kIsFile otherwise.
FSEventStreamEventFlags known_type(const Watch& dir, std::string_view name);

/// The changes that tree directories and stream paths that are not directories are watched
/// for.
inline constexpr std::uint32_t kChangeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB |
                                             IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                             IN_MOVE_SELF;

}  // namespace vestra::platform
