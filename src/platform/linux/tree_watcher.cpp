#include "platform/linux/tree_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/linux/path_text.h"
#include "platform/linux/record_flags.h"

namespace vestra::platform {

using namespace record_flags;

namespace {

constexpr std::uint32_t kItemMask = kChangeMask | IN_DONT_FOLLOW;
// An anchor waits for a component to appear. IN_MASK_ADD keeps a tree directory's wider mask
// when the same directory is also an anchor.
constexpr std::uint32_t kAnchorMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
// The directories above a stream path tell only of their own move or deletion: nothing else
// reports that the path has moved away with them.
constexpr std::uint32_t kAncestorMask =
    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_MASK_ADD;

constexpr std::size_t kMoveNotes = 64;
constexpr int kResolveAttempts = 32;

constexpr unsigned kImmediateResyncs = 3;
constexpr auto kFirstResyncDelay = std::chrono::milliseconds(100);
constexpr auto kMaxResyncDelay = std::chrono::milliseconds(4000);
constexpr auto kOverflowQuiet = std::chrono::seconds(10);

/// Keeps the paths that are not inside another, in their first order; duplicates go.
std::vector<std::string> covering_paths(const std::vector<std::string>& paths) {
  std::vector<std::string> kept;
  for (const std::string& path : paths) {
    const bool covered = std::any_of(kept.begin(), kept.end(), [&](const std::string& other) {
      return path_text::is_same_or_below(path, other);
    });
    if (covered) continue;
    std::erase_if(
        kept, [&](const std::string& other) { return path_text::is_same_or_below(other, path); });
    kept.push_back(path);
  }
  return kept;
}

/// The deepest existing directory above `path`, and the component below it on the way.
std::pair<std::string, std::string> nearest_directory_above(std::string_view path) {
  std::string_view below = path;
  while (true) {
    const std::string_view next = path_text::last_component(below);
    std::string above(path_text::parent(below));
    if (above.empty()) above.push_back('/');
    struct stat st;
    if (above == "/" || (::stat(above.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
      return {std::move(above), std::string(next)};
    }
    below = path_text::parent(below);
  }
}

}  // namespace

std::unique_ptr<TreeWatcher> TreeWatcher::open(const std::vector<std::string>& paths,
                                               std::size_t max_watches,
                                               std::atomic<std::size_t>& watch_count, int& error,
                                               FileDescriptor records) {
  FileDescriptor inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid()) {
    error = errno;
    return nullptr;
  }
  return std::unique_ptr<TreeWatcher>(new TreeWatcher(
      std::move(inotify), std::move(records), covering_paths(paths), max_watches, watch_count));
}

TreeWatcher::TreeWatcher(FileDescriptor inotify, FileDescriptor records,
                         std::vector<std::string> roots, std::size_t max_watches,
                         std::atomic<std::size_t>& watch_count)
    : inotify_(records.valid() ? std::move(inotify) : FileDescriptor()),
      queue_(records.valid() ? std::move(records) : std::move(inotify)),
      watches_(kernel(), max_watches, watch_count, *this),
      table_(watches_.table()),
      walk_(watches_, *this),
      move_notes_(kMoveNotes) {
  roots_.reserve(roots.size());
  for (std::string& path : roots) {
    Root root;
    root.path = std::move(path);
    roots_.push_back(std::move(root));
  }
}

TreeWatcher::~TreeWatcher() = default;

int TreeWatcher::kernel() const noexcept {
  return inotify_.valid() ? inotify_.get() : queue_.fd();
}

void TreeWatcher::start(EventBatch& out) {
  // Every event comes from a watch added from now on.
  queue_.mark_drained();
  for (std::uint32_t index = 0; index < roots_.size(); ++index) resolve_root(index, false, out);
  watches_.prune();
}

int TreeWatcher::watch_of(std::string_view path) {
  int found = -1;
  table_.for_each([&](Watch& watch) {
    if (table_.path(watch) == path) found = watch.wd;
  });
  return found;
}

// ---------------------------------------------------------------------------------------
// Reading

std::optional<std::chrono::milliseconds> TreeWatcher::read(EventBatch& out) {
  if (queue_.fill()) {
    while (const auto record = queue_.next()) {
      handle(*record, out);
      watches_.prune();
    }
  }
  queue_.finish();
  end_batch();
  return std::exchange(requested_delay_, std::nullopt);
}

// ---------------------------------------------------------------------------------------
// Translation

void TreeWatcher::handle(const InotifyRecord& event, EventBatch& out) {
  if (event.mask & IN_Q_OVERFLOW) {
    on_overflow(out);
    return;
  }
  Watch* watch = table_.find(event.wd);
  if (!watch) return;  // a watch already given up; its last events are still queued
  if (event.mask & IN_IGNORED) {
    on_ignored(event.wd, out);
    return;
  }
  if (event.mask & IN_UNMOUNT) {
    on_unmount(*watch, out);
    return;
  }
  if (watch->item_root() != kNoRoot) {
    on_item_root_event(*watch, event.mask, out);
    return;
  }
  if (watch->ancestor_count() > 0 && (event.mask & (IN_MOVE_SELF | IN_DELETE_SELF))) {
    on_ancestor_gone(event.wd, out);
    watch = table_.find(event.wd);
    if (!watch) return;
  }
  const int wd = event.wd;
  const bool anchor = watch->anchor_count() > 0;
  if (watch->in_tree()) on_tree_event(*watch, event, out);
  if (anchor) on_anchor_event(wd, event.mask, event.name, out);
}

void TreeWatcher::on_tree_event(Watch& dir, const InotifyRecord& record, EventBatch& out) {
  const std::uint32_t mask = record.mask;
  const std::string_view name = record.name;
  if (name.empty()) {
    // A directory's own attribute change, deletion and move reach its parent's watch as
    // well, under its name; only the top of a tree has no parent to report them.
    if (!dir.parent) on_root_self_event(dir, mask, out);
    return;
  }
  const bool is_dir = mask & IN_ISDIR;
  switch (mask & kChangeMask) {
    case IN_CREATE:
      on_created(dir, name, is_dir, out);
      break;
    case IN_MODIFY:
      out.add(table_.cached_path(dir), name, kModified | kIsFile);
      break;
    case IN_ATTRIB:
      out.add(table_.cached_path(dir), name, kMetaMod | (is_dir ? kIsDir : known_type(dir, name)));
      // A subdirectory without a watch is one that could not be watched or read: it may
      // just have become readable. Watched now, what it holds is reported as created.
      if (is_dir) retry_blocked(dir, name, out);
      break;
    case IN_DELETE:
      on_deleted(dir, name, is_dir, out);
      break;
    case IN_MOVED_FROM:
      on_moved_from(dir, name, is_dir, record.cookie, out);
      break;
    case IN_MOVED_TO:
      on_moved_to(dir, name, is_dir, record.cookie, out);
      break;
    default:
      break;
  }
}

void TreeWatcher::on_root_self_event(Watch& top, std::uint32_t mask, EventBatch& out) {
  const std::uint32_t index = top.root;
  Root& root = roots_[index];
  if (root.state != RootState::Directory || root.wd != top.wd) return;
  if (mask & IN_ATTRIB) {
    out.add(root.path, kMetaMod | kIsDir);
  } else if (mask & IN_DELETE_SELF) {
    out.add(root.path, kRemoved | kIsDir);
    forget_root(index, KernelWatch::Remove);
    resolve_root(index, true, out);
  } else if (mask & IN_MOVE_SELF) {
    // The tree now lives elsewhere, so its events would carry wrong paths: its watches go,
    // and the path is watched again by name.
    out.add(root.path, kFSEventStreamEventFlagRootChanged);
    forget_root(index, KernelWatch::Remove);
    resolve_root(index, true, out);
  }
}

void TreeWatcher::on_item_root_event(Watch& item, std::uint32_t mask, EventBatch& out) {
  const std::uint32_t index = item.item_root();
  Root& root = roots_[index];
  if (mask & IN_MODIFY) {
    out.add(root.path, kModified | root.type);
  } else if (mask & IN_ATTRIB) {
    // Unlinking changes the link count, which arrives as an attribute change long before the
    // deletion itself when the file is still open somewhere: the path tells which it was.
    struct stat st;
    if (::lstat(root.path.c_str(), &st) == 0 &&
        FileIdentity{st.st_dev, st.st_ino} == root.identity) {
      out.add(root.path, kMetaMod | root.type);
    } else {
      out.add(root.path, kRemoved | root.type);
      forget_root(index, KernelWatch::Remove);
      resolve_root(index, true, out);
    }
  } else if (mask & IN_DELETE_SELF) {
    out.add(root.path, kRemoved | root.type);
    forget_root(index, KernelWatch::Remove);
    resolve_root(index, true, out);
  } else if (mask & IN_MOVE_SELF) {
    out.add(root.path, kRenamed | root.type);
    forget_root(index, KernelWatch::Remove);
    resolve_root(index, true, out);
  }
}

void TreeWatcher::on_anchor_event(int wd, std::uint32_t mask, std::string_view name,
                                  EventBatch& out) {
  matched_roots_.clear();
  const bool appeared = (mask & (IN_CREATE | IN_MOVED_TO)) && !name.empty();
  const bool gone = mask & (IN_DELETE_SELF | IN_MOVE_SELF);
  if (!appeared && !gone) return;
  for (std::uint32_t index = 0; index < roots_.size(); ++index) {
    const Root& root = roots_[index];
    if (root.state != RootState::Missing || root.wd != wd) continue;
    if (gone || root.next == name) matched_roots_.push_back(index);
  }
  for (const std::uint32_t index : matched_roots_) {
    forget_root(index, KernelWatch::Remove);
    resolve_root(index, true, out);
  }
}

void TreeWatcher::on_created(Watch& dir, std::string_view name, bool is_dir, EventBatch& out) {
  if (take_fresh(dir.wd, name)) {
    // Queued before the walk that listed it, and reported by that walk.
    if (is_dir && !table_.child(dir, name)) {
      walk_.walk(path_text::join(table_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated,
                 out);
    }
    return;
  }
  if (const auto fresh = fresh_.find(dir.wd); fresh != fresh_.end()) {
    fresh->second.created.emplace(name);
  }
  if (is_dir) {
    out.add(table_.cached_path(dir), name, kCreated | kIsDir);
    walk_.walk(path_text::join(table_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated, out);
    return;
  }
  const std::string path = path_text::join(table_.path(dir), name);
  FSEventStreamEventFlags flags = kCreated | kIsFile;
  struct stat st;
  if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      flags = kCreated | kIsSymlink;
      remember_symlink(dir, name);
    } else if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
      flags |= kIsHardlink;
    }
  }
  if (!(flags & kIsSymlink)) forget_symlink(dir, name);
  out.add(path, flags);
}

void TreeWatcher::on_deleted(Watch& dir, std::string_view name, bool is_dir, EventBatch& out) {
  if (!reported_since_walk(dir.wd, name)) {
    forget_symlink(dir, name);
    return;
  }
  if (is_dir) {
    out.add(table_.cached_path(dir), name, kRemoved | kIsDir);
    // A directory parked from this name is older there than the one linked now.
    Watch* gone = take_parked(dir, name);
    if (!gone) gone = table_.child(dir, name);
    if (gone) watches_.drop_tree(*gone, KernelWatch::Remove);
    return;
  }
  out.add(table_.cached_path(dir), name,
          kRemoved | (forget_symlink(dir, name) ? kIsSymlink : kIsFile));
}

// Every watch on an unmounted file system gets its own IN_UNMOUNT, in no useful order. Only
// the topmost watched directory of that file system is reported: the one whose parent is on
// another.
void TreeWatcher::on_unmount(Watch& watch, EventBatch& out) {
  if (watch.item_root() != kNoRoot) {
    out.add(roots_[watch.item_root()].path, kFSEventStreamEventFlagUnmount);
  } else if (watch.in_tree()) {
    watch.unmounted = true;
    if (!watch.parent || watch.parent->identity.device != watch.identity.device) {
      out.add(table_.path(watch), kFSEventStreamEventFlagUnmount);
    }
  }
}

void TreeWatcher::on_ignored(int wd, EventBatch& out) {
  // The kernel has dropped this watch (deletion, unmount): every role it played ends.
  Watch* watch = table_.find(wd);
  if (watch->item_root() != kNoRoot) {
    const std::uint32_t index = watch->item_root();
    forget_root(index, KernelWatch::AlreadyGone);
    resolve_root(index, false, out);
  }
  watch = table_.find(wd);
  if (watch && watch->in_tree()) {
    const std::uint32_t index = watch->root;
    const Root& root = roots_[index];
    if (!watch->parent && root.state == RootState::Directory && root.wd == wd) {
      forget_root(index, KernelWatch::AlreadyGone);
      resolve_root(index, false, out);
    } else if (watch->unmounted && watch->parent &&
               watch->parent->identity.device != watch->identity.device) {
      // A mount point: the directory beneath the file system that went away shows again.
      const int parent_wd = watch->parent->wd;
      std::string path = table_.path(*watch);
      watches_.drop_tree(*watch, KernelWatch::Remove);
      walk_.walk(std::move(path), parent_wd, index, Scan::Quiet, out);
    } else {
      watches_.drop_tree(*watch, KernelWatch::Remove);
    }
  }
  watch = table_.find(wd);
  if (watch && watch->anchor_count() > 0) {
    matched_roots_.clear();
    for (std::uint32_t index = 0; index < roots_.size(); ++index) {
      if (roots_[index].state == RootState::Missing && roots_[index].wd == wd) {
        matched_roots_.push_back(index);
      }
    }
    for (const std::uint32_t index : matched_roots_) {
      forget_root(index, KernelWatch::AlreadyGone);
      resolve_root(index, false, out);
    }
  }
  if (table_.find(wd)) watches_.remove_watch(wd, KernelWatch::AlreadyGone);
}

void TreeWatcher::on_overflow(EventBatch& out) {
  for (const Root& root : roots_) out.add(root.path, kKernelDropped);
  const auto now = std::chrono::steady_clock::now();
  if (now - last_overflow_ > kOverflowQuiet) overflow_streak_ = 0;
  last_overflow_ = now;
  if (resync_scheduled_) return;
  // Each resync walks every tree. Under a flood that overflows again and again, resyncs
  // back off, so that the walks do not take the whole processor.
  const unsigned streak = overflow_streak_++;
  if (streak < kImmediateResyncs) {
    resync(out);
    return;
  }
  const unsigned doublings = std::min(streak - kImmediateResyncs, 8u);
  resync_scheduled_ = true;
  requested_delay_ =
      std::min<std::chrono::milliseconds>(kFirstResyncDelay * (1u << doublings), kMaxResyncDelay);
}

void TreeWatcher::resync(EventBatch& out) {
  resync_scheduled_ = false;
  ++resyncs_;
  ++epoch_;
  claims_.clear();
  fresh_.clear();
  drop_parked();
  for (std::uint32_t index = 0; index < roots_.size(); ++index) {
    Root& root = roots_[index];
    if (root.state != RootState::Directory) continue;
    const TreeWalk::Result result = walk_.walk(root.path, -1, index, Scan::Resync, out);
    const Watch* top =
        result.outcome == TreeWalk::Outcome::Watched ? table_.find(result.wd) : nullptr;
    if (top && top->root == index && !top->parent) {
      root.wd = result.wd;
    } else {
      root.state = RootState::Unwatched;  // its old watches are swept below
      root.wd = -1;
    }
  }
  // Whatever the walks did not find again has gone.
  std::vector<int> stale;
  table_.for_each([&](Watch& watch) {
    if (watch.in_tree() && watch.epoch != epoch_) stale.push_back(watch.wd);
  });
  for (const int wd : stale) {
    if (Watch* watch = table_.find(wd); watch && watch->in_tree())
      watches_.drop_tree(*watch, KernelWatch::Remove);
  }
  for (std::uint32_t index = 0; index < roots_.size(); ++index) {
    if (roots_[index].state == RootState::Directory) continue;
    forget_root(index, KernelWatch::Remove);
    resolve_root(index, false, out);
  }
  watches_.prune();
}

// ---------------------------------------------------------------------------------------
// Watches

void TreeWatcher::on_watch_removed(int wd) {
  claims_.erase(wd);
  fresh_.erase(wd);
  std::erase_if(parked_, [wd](const Parked& parked) { return parked.wd == wd; });
}

void TreeWatcher::displace(Watch& stale, int parent_wd) {
  park(stale, parent_wd, Parking::Displaced);
}

// ---------------------------------------------------------------------------------------
// Stream paths

void TreeWatcher::forget_root(std::uint32_t index, KernelWatch kernel) {
  Root& root = roots_[index];
  release_ancestors(root, kernel);
  Watch* watch = root.wd != -1 ? table_.find(root.wd) : nullptr;
  switch (root.state) {
    case RootState::Directory:
      if (watch && watch->root == index && !watch->parent) watches_.drop_tree(*watch, kernel);
      break;
    case RootState::Item:
      if (watch && watch->item_root() == index) {
        watch->extras->item_root = kNoRoot;
        if (!watch->has_role()) watches_.remove_watch(root.wd, kernel);
      }
      break;
    case RootState::Missing:
      // Dropped later, so that waiting again in the same directory keeps its watch.
      if (watch && watch->anchor_count() > 0) {
        --watch->extras->anchor_count;
        watches_.prune_later(root.wd);
      }
      break;
    case RootState::Unwatched:
      break;
  }
  root.state = RootState::Unwatched;
  root.wd = -1;
  root.next.clear();
}

// A stream path is watched by name: as a tree when it is a directory, as one item when it is
// anything else, and while it does not exist, through its nearest existing directory, where
// the next component of its path will appear.
void TreeWatcher::resolve_root(std::uint32_t index, bool report, EventBatch& out) {
  Root& root = roots_[index];
  for (int attempt = 0; attempt < kResolveAttempts; ++attempt) {
    struct stat st;
    if (::lstat(root.path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        if (report) out.add(root.path, kCreated | kIsDir);
        const TreeWalk::Result result =
            walk_.walk(root.path, -1, index, report ? Scan::ReportCreated : Scan::Quiet, out);
        if (result.outcome == TreeWalk::Outcome::Vanished) continue;
        if (result.outcome == TreeWalk::Outcome::Failed) return;  // reported by the walk
        const Watch* top = table_.find(result.wd);
        if (top && top->root == index && !top->parent) {
          root.state = RootState::Directory;
          root.wd = result.wd;
          watch_ancestors(root);
        }
        return;
      }
      const int wd = watches_.add_watch(root.path.c_str(), kItemMask);
      if (wd < 0) {
        if (vanished(-wd)) continue;
        out.add(root.path, kUserDropped);
        return;
      }
      Watch* item = table_.find(wd);
      if (!item) item = &watches_.new_watch(wd, root.path);
      item->more().item_root = index;
      root.state = RootState::Item;
      root.wd = wd;
      root.identity = FileIdentity{st.st_dev, st.st_ino};
      root.type = S_ISLNK(st.st_mode) ? kIsSymlink : kIsFile;
      watch_ancestors(root);
      if (report) {
        const bool linked = S_ISREG(st.st_mode) && st.st_nlink > 1;
        out.add(root.path, kCreated | root.type | (linked ? kIsHardlink : 0));
      }
      return;
    }
    if (errno != ENOENT && errno != ENOTDIR) {
      out.add(root.path, kUserDropped);
      return;
    }
    auto [anchor_path, next] = nearest_directory_above(root.path);
    const int wd = watches_.add_watch(anchor_path.c_str(), kAnchorMask);
    if (wd < 0) {
      if (vanished(-wd)) continue;
      out.add(root.path, kUserDropped);
      return;
    }
    Watch* anchor = table_.find(wd);
    if (!anchor) anchor = &watches_.new_watch(wd, anchor_path);
    ++anchor->more().anchor_count;
    root.state = RootState::Missing;
    root.wd = wd;
    root.next = next;
    // The component may have appeared between the look-up and the watch. A non-directory
    // on the way blocks the path until it is replaced, which the anchor then sees.
    std::string awaited = path_text::join(anchor_path, next);
    struct stat appeared;
    if (::lstat(awaited.c_str(), &appeared) != 0) return;
    if (!S_ISDIR(appeared.st_mode) && awaited != root.path) return;
    forget_root(index, KernelWatch::Remove);
  }
  // The path kept changing under every attempt.
  out.add(root.path, kUserDropped);
}

// Best effort: an ancestor that cannot be watched only leaves its move unnoticed, as it
// always was before these watches.
void TreeWatcher::watch_ancestors(Root& root) {
  for (std::string_view above = path_text::parent(root.path); above.size() > 1;
       above = path_text::parent(above)) {
    const std::string path(above);
    const int wd = watches_.add_watch(path.c_str(), kAncestorMask);
    if (wd < 0) continue;
    Watch* watch = table_.find(wd);
    if (!watch) watch = &watches_.new_watch(wd, path);
    ++watch->more().ancestor_count;
    root.ancestors.push_back(wd);
  }
}

void TreeWatcher::release_ancestors(Root& root, KernelWatch kernel) {
  for (const int wd : root.ancestors) {
    Watch* watch = table_.find(wd);
    if (!watch || watch->ancestor_count() == 0) continue;
    --watch->extras->ancestor_count;
    if (!watch->has_role()) watches_.remove_watch(wd, kernel);
  }
  root.ancestors.clear();
}

// A directory above stream paths moved or went: each path watched below it has moved away,
// as if it had moved itself, and is watched again once something takes its name.
void TreeWatcher::on_ancestor_gone(int wd, EventBatch& out) {
  matched_roots_.clear();
  for (std::uint32_t index = 0; index < roots_.size(); ++index) {
    const std::vector<int>& above = roots_[index].ancestors;
    if (std::find(above.begin(), above.end(), wd) != above.end()) matched_roots_.push_back(index);
  }
  const std::vector<std::uint32_t> matched = matched_roots_;
  for (const std::uint32_t index : matched) {
    Root& root = roots_[index];
    if (root.state == RootState::Directory || root.state == RootState::Item) {
      out.add(root.path, kRootChanged);
    }
    forget_root(index, KernelWatch::Remove);
    resolve_root(index, true, out);
  }
}

}  // namespace vestra::platform
