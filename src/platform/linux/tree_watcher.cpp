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
constexpr std::uint32_t kNoFrame = UINT32_MAX;
// Deeper than this, directories are opened by their full path.
constexpr std::size_t kMaxOpenDirectories = 32;

constexpr unsigned kImmediateResyncs = 3;
constexpr auto kFirstResyncDelay = std::chrono::milliseconds(100);
constexpr auto kMaxResyncDelay = std::chrono::milliseconds(4000);
constexpr auto kOverflowQuiet = std::chrono::seconds(10);

// How much earlier than the clock said a change may carry its time stamp. The kernel stamps
// from a clock that only moves on each tick, and an operation may stamp its times a moment
// before it queues its event; the margin covers both, with room to spare. Too wide a margin
// costs a few needless reports, too narrow a one loses changes.
constexpr std::int64_t kStampMargin = 20'000'000;  // nanoseconds
// What a MovedIn walk asks of each entry.
constexpr unsigned kStatusMask =
    STATX_TYPE | STATX_NLINK | STATX_INO | STATX_MTIME | STATX_CTIME | STATX_BTIME;

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

std::int64_t nanoseconds(const statx_timestamp& stamp) {
  return stamp.tv_sec * 1'000'000'000 + stamp.tv_nsec;
}

FSEventStreamEventFlags type_of(mode_t mode) {
  if (S_ISDIR(mode)) return kIsDir;
  return S_ISLNK(mode) ? kIsSymlink : kIsFile;
}

bool vanished(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP;
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
      walk(path_text::join(table_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated, out);
    }
    return;
  }
  if (const auto fresh = fresh_.find(dir.wd); fresh != fresh_.end()) {
    fresh->second.created.emplace(name);
  }
  if (is_dir) {
    out.add(table_.cached_path(dir), name, kCreated | kIsDir);
    walk(path_text::join(table_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated, out);
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

void TreeWatcher::complete_pending(EventBatch& out) {
  if (completing_) return;  // the outer call lists what this one would
  completing_ = true;
  while (!to_complete_.empty()) {
    const int wd = to_complete_.back();
    to_complete_.pop_back();
    complete(wd, out);
  }
  completing_ = false;
}

// Walks the subdirectories of a watched directory that have no watch, reporting them and
// their contents as created.
void TreeWatcher::complete(int wd, EventBatch& out) {
  Watch* watch = table_.find(wd);
  if (!watch || !watch->in_tree() || (!watch->incomplete && !watch->is_blocked())) return;
  const std::string path = table_.path(*watch);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    // Gone from this path too: renamed again, and that rename, still queued, brings it
    // back here; or deleted. Anything else keeps it from being listed: the user is told.
    if (!vanished(errno)) {
      table_.set_incomplete(*watch, false);
      if (watch->extras) watch->extras->blocked.clear();
      out.add(path, kUserDropped);
    }
    return;
  }
  // Another directory may have taken the path meanwhile: the same wait applies.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || FileIdentity::of(st) != watch->identity) {
    return;
  }
  table_.set_incomplete(*watch, false);
  // Subdirectories that failed were reported when they appeared; now only their contents.
  NameSet blocked;
  if (watch->extras) blocked.swap(watch->extras->blocked);
  unwatched_.clear();
  reader_.open(fd.get());
  DirectoryReader::Entry entry;
  while (reader_.next(entry)) {
    unsigned char type = entry.type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(fd.get(), entry.name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = IFTODT(st.st_mode);
    }
    if (type == DT_DIR && !table_.child(*watch, entry.name)) {
      unwatched_.push_back(path_text::join(path, entry.name));
    }
  }
  const std::uint32_t root = watch->root;
  const std::vector<std::string> unwatched = std::move(unwatched_);
  unwatched_.clear();
  for (const std::string& subdirectory : unwatched) {
    const bool reported = blocked.contains(path_text::last_component(subdirectory));
    walk(subdirectory, wd, root, Scan::ReportCreated, out, reported ? Announce::No : Announce::Yes);
  }
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
      walk(std::move(path), parent_wd, index, Scan::Quiet, out);
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
    const WalkResult result = walk(root.path, -1, index, Scan::Resync, out);
    const Watch* top = result.outcome == Outcome::Watched ? table_.find(result.wd) : nullptr;
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

TreeWatcher::WalkResult TreeWatcher::walk(std::string path, int parent_wd, std::uint32_t root,
                                          Scan mode, EventBatch& out, Announce announce) {
  pending_.clear();
  frames_.clear();
  pending_.push_back(PendingDirectory{std::move(path), parent_wd, 0, kNoFrame, mode, announce});
  WalkResult top{Outcome::Failed, -1};
  bool first = true;
  while (!pending_.empty()) {
    PendingDirectory dir = std::move(pending_.back());
    pending_.pop_back();
    int parent_fd = -1;
    if (dir.frame != kNoFrame) {
      parent_fd = frames_[dir.frame].fd.get();
      --frames_[dir.frame].pending;
    }
    int wd = -1;
    const int parent_wd = dir.parent_wd;
    // The top of a walk was reported by its caller; a listed one once visited.
    const bool reported = first || dir.announce == Announce::Yes;
    const Outcome outcome = visit(dir, parent_fd, root, dir.mode, out, wd);
    if (first) top = WalkResult{outcome, wd};
    // Listed a moment ago, gone now: deleted, or renamed with an ancestor, in which case the
    // rename's events bring the walk back here under the new path. Reported but not
    // watched, it is not reported again when its parent is listed once more.
    if (parent_wd != -1 && (outcome == Outcome::Vanished || outcome == Outcome::Failed)) {
      if (Watch* parent = table_.find(parent_wd); parent && parent->in_tree()) {
        if (outcome == Outcome::Vanished) table_.set_incomplete(*parent, true);
        if (reported || outcome == Outcome::Failed) {
          parent->more().blocked.emplace(path_text::last_component(dir.path));
        }
      }
    }
    first = false;
    while (!frames_.empty() && frames_.back().pending == 0) frames_.pop_back();
  }
  frames_.clear();
  complete_pending(out);
  return top;
}

// Watch first, then scan: an entry made before the watch is found by the scan, one made
// after it arrives as an event (and one made in between may be reported twice).
//
// The watch must be on the very directory that is scanned, even if the path is given to
// another meanwhile. A subdirectory found by a scan is watched by path, then opened, and the
// opened directory's inode must be the one the listing gave: the path led to it both before
// and after the watch was added. Otherwise (and for a directory known only by path) the
// watch is added through the open descriptor itself, by way of /proc/self/fd.
TreeWatcher::Outcome TreeWatcher::visit(PendingDirectory& dir, int parent_fd, std::uint32_t root,
                                        Scan mode, EventBatch& out, int& wd) {
  constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  const std::string_view name = path_text::last_component(dir.path);
  const auto open_directory = [&] {
    return FileDescriptor(parent_fd != -1 ? ::openat(parent_fd, name.data(), kOpenFlags)
                                          : ::open(dir.path.c_str(), kOpenFlags));
  };
  // A subdirectory listed by a scan that reports creations is reported once it is known not
  // to be a watched directory found under a new name.
  const auto announce = [&] {
    if (dir.announce == Announce::No) return;
    dir.announce = Announce::No;
    out.add(dir.path, kCreated | kIsDir);
    note_fresh(dir.parent_wd, name);
  };
  const auto fail = [&](int error) {
    announce();
    return failed(error, dir.path, out);
  };
  FileDescriptor fd;
  long subdirectories = -1;  // what the link count promises, when it does
  struct stat st {};
  // A subdirectory that a MovedIn scan found is dated here, from the directory opened anyway
  // (the top of the walk is the moved directory itself, whose rename is reported).
  const bool dated = mode == Scan::MovedIn && dir.inode != 0;
  struct statx status {};
  bool have_status = false;
  const auto stat_open = [&](int open_fd) {
    if (!dated) return ::fstat(open_fd, &st) == 0;
    have_status = ::statx(open_fd, "", AT_EMPTY_PATH, kStatusMask, &status) == 0;
    if (!have_status) return false;
    st = {};
    st.st_dev = makedev(status.stx_dev_major, status.stx_dev_minor);
    st.st_ino = status.stx_ino;
    st.st_nlink = status.stx_nlink;
    st.st_mode = status.stx_mode;
    return true;
  };
  if (dir.inode != 0) {
    wd = watches_.add_directory_watch(dir.path);
    if (wd < 0) return fail(-wd);
    fd = open_directory();
    if (!fd.valid()) {
      const int error = errno;
      watches_.discard_if_unknown(wd);
      return fail(error);
    }
    if (stat_open(fd.get()) && st.st_ino == dir.inode) {
      // A directory's link count is 2 plus its subdirectories where the file system keeps
      // it so (1 where it does not).
      if (st.st_nlink >= 2) subdirectories = static_cast<long>(st.st_nlink - 2);
    } else {
      // Replaced meanwhile, or a mount point, which is listed with the inode beneath it.
      const int exact = watches_.add_directory_watch(dir.path, fd.get());
      if (exact != wd) watches_.discard_if_unknown(wd);
      wd = exact;
      if (wd < 0) return fail(-wd);
    }
  } else {
    fd = open_directory();
    if (!fd.valid()) return fail(errno);
    wd = watches_.add_directory_watch(dir.path, fd.get());
    if (wd < 0) return fail(-wd);
    if (::fstat(fd.get(), &st) != 0) st = {};
  }

  Watch* parent = nullptr;
  if (dir.parent_wd != -1) {
    parent = table_.find(dir.parent_wd);
    if (!parent || !parent->in_tree()) {
      watches_.discard_if_unknown(wd);
      return Outcome::Failed;
    }
  }
  reader_.open(fd.get());
  if (dir.inode == 0 && parent && !inside(*parent, fd.get(), st)) {
    // Reached by a path that a rename, still queued, has taken from the parent: what the
    // path leads to now is another directory. The rename brings the walk back.
    watches_.discard_if_unknown(wd);
    return Outcome::Vanished;
  }
  Watch* watch = table_.find(wd);
  if (watch && watch->in_tree()) {
    if (mode == Scan::Resync && watch->epoch == epoch_) return Outcome::Watched;
    if (watch->parent != parent || watch->name != (parent ? name : dir.path)) {
      if (!found_elsewhere(*watch, parent, name, fd.get(), mode)) return Outcome::Watched;
      // After lost events nothing is queued to settle a claim: the present decides.
      if (parent) {
        if (Watch* other = table_.child(*parent, name); other && other != watch) {
          watches_.drop_tree(*other, KernelWatch::Remove);
        }
      }
      table_.move(*watch, parent, parent ? std::string(name) : std::move(dir.path), root);
    } else if (mode != Scan::Resync && (watch->incomplete || watch->is_blocked())) {
      to_complete_.push_back(watch->wd);
    }
    // Its watch never lapsed: what changed in it came as events. What a walk lost below it
    // to a rename is listed again now that its present path is known (after this walk).
    if (mode != Scan::Resync) return Outcome::Watched;
  } else {
    announce();
    if (!watch) {
      watch = &watches_.new_watch(wd, parent ? std::string(name) : std::move(dir.path));
    } else {
      table_.rename(*watch, parent ? std::string(name) : std::move(dir.path));
    }
    watch->root = root;
    if (parent) adopt(*parent, *watch, mode);
  }
  watch->epoch = epoch_;
  watch->identity = FileIdentity::of(st);
  table_.set_incomplete(*watch, false);  // the scan lists every subdirectory
  if (mode == Scan::Resync && watch->extras) watch->extras->symlinks.clear();
  const Scan scan_mode =
      dated ? date_directory(*watch, have_status ? &status : nullptr, out) : mode;
  if (scan_mode == Scan::ReportCreated) note_listed(watch->wd);
  const std::size_t found = scan(*watch, fd.get(), scan_mode, subdirectories, out);
  if (found > 0 && frames_.size() < kMaxOpenDirectories) {
    const auto frame = static_cast<std::uint32_t>(frames_.size());
    for (std::size_t i = pending_.size() - found; i < pending_.size(); ++i) {
      pending_[i].frame = frame;
    }
    frames_.push_back(OpenDirectory{std::move(fd), found});
  }
  return Outcome::Watched;
}

// Reports a subdirectory of a directory moved in by its age (`status` null when it could
// not be had), and says how to scan it.
TreeWatcher::Scan TreeWatcher::date_directory(Watch& watch, const struct statx* status,
                                              EventBatch& out) {
  switch (status ? age(*status) : Age::BornSince) {
    case Age::BornSince:  // and so is everything in it
      out.add(table_.path(watch), kCreated | kIsDir);
      if (watch.parent) note_fresh(watch.parent->wd, watch.name);
      return Scan::ReportCreated;
    case Age::ChangedSince:
      // Making, removing or renaming an entry changes the directory's times too, and the
      // entries tell of that themselves. Its status changed apart from them when its status
      // change time is later than that of its last entry change.
      if (!(status->stx_mask & STATX_MTIME) ||
          nanoseconds(status->stx_ctime) > nanoseconds(status->stx_mtime)) {
        out.add(table_.path(watch), kMetaMod | kIsDir);
      }
      return Scan::MovedIn;
    case Age::Older:
      break;
  }
  return Scan::MovedIn;
}

std::size_t TreeWatcher::scan(Watch& dir, int dir_fd, Scan mode, long subdirectories,
                              EventBatch& out) {
  const std::string dir_path = table_.path(dir);
  const bool report = mode == Scan::ReportCreated;
  const bool dated = mode == Scan::MovedIn;
  // Reports need every entry; otherwise the subdirectories are what matters, and once the
  // link count's number of them has been seen, the read that would confirm the end is saved.
  const bool counted = !report && !dated && subdirectories >= 0;
  std::size_t found = 0;
  DirectoryReader::Entry entry;
  while (reader_.next(entry, counted && static_cast<long>(found) == subdirectories)) {
    unsigned char type = entry.type;
    if (dated && type != DT_DIR) {
      type = date_entry(dir, dir_path, dir_fd, entry, out);
      if (type == DT_UNKNOWN) continue;
    } else if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dir_fd, entry.name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = IFTODT(st.st_mode);
    }
    if (type == DT_DIR) {
      pending_.push_back(PendingDirectory{path_text::join(dir_path, entry.name), dir.wd,
                                          entry.inode, kNoFrame, mode,
                                          report ? Announce::Yes : Announce::No});
      ++found;
      continue;
    }
    if (type == DT_LNK) remember_symlink(dir, entry.name);
    if (report) {
      out.add(dir_path, entry.name, kCreated | (type == DT_LNK ? kIsSymlink : kIsFile));
      note_fresh(dir.wd, entry.name);
    }
  }
  return found;
}

// Where an entry's times stand against queue_.unread_since(). An entry that a MovedIn walk finds
// changed after it may have changed after the move, before its directory was watched: no
// event tells of that. One changed before it was either outside the trees then, or its
// change was read as an event. A time the file system does not give counts as recent.
TreeWatcher::Age TreeWatcher::age(const struct statx& status) const {
  const std::int64_t since = queue_.unread_since() - kStampMargin;
  if ((status.stx_mask & STATX_CTIME) && nanoseconds(status.stx_ctime) < since) {
    return Age::Older;
  }
  if ((status.stx_mask & STATX_BTIME) && nanoseconds(status.stx_btime) < since) {
    return Age::ChangedSince;
  }
  return Age::BornSince;
}

// Reports an entry of a directory that a MovedIn walk lists, other than a subdirectory, by
// its age, with one statx. Returns its type (DT_*), or DT_UNKNOWN when it is gone.
unsigned char TreeWatcher::date_entry(const Watch& dir, const std::string& dir_path, int dir_fd,
                                      const DirectoryReader::Entry& entry, EventBatch& out) {
  struct statx status;
  if (::statx(dir_fd, entry.name.data(), AT_SYMLINK_NOFOLLOW, kStatusMask, &status) != 0) {
    if (vanished(errno)) return DT_UNKNOWN;
    // Listed but not to be looked at: taken for new, with the type that the listing gave.
    const unsigned char type =
        entry.type == DT_UNKNOWN ? static_cast<unsigned char>(DT_REG) : entry.type;
    out.add(dir_path, entry.name, kCreated | (type == DT_LNK ? kIsSymlink : kIsFile));
    note_fresh(dir.wd, entry.name);
    return type;
  }
  const unsigned char type = IFTODT(status.stx_mode);
  if (type == DT_DIR) return type;  // dated once visited
  const FSEventStreamEventFlags kind = type_of(status.stx_mode);
  switch (age(status)) {
    case Age::BornSince: {
      const bool linked = S_ISREG(status.stx_mode) && status.stx_nlink > 1;
      out.add(dir_path, entry.name, kCreated | kind | (linked ? kIsHardlink : 0));
      note_fresh(dir.wd, entry.name);
      break;
    }
    case Age::ChangedSince: {
      // Its contents changed, or only its status (permissions, owner, links).
      const bool written = !(status.stx_mask & STATX_MTIME) ||
                           nanoseconds(status.stx_mtime) >= queue_.unread_since() - kStampMargin;
      out.add(dir_path, entry.name, (written ? kModified : kMetaMod) | kind);
      break;
    }
    case Age::Older:
      break;
  }
  return type;
}

// Whether the directory open as `fd`, with status `st`, lies directly in `parent`. Its own
// listing names its parent, as "..", in the batch already read for the scan; a mount
// point's names the file system's own root, so that is asked for once more.
bool TreeWatcher::inside(const Watch& parent, int fd, const struct stat& st) {
  if (st.st_dev == parent.identity.device && reader_.parent_inode() == parent.identity.inode) {
    return true;
  }
  struct stat above;
  return ::fstatat(fd, "..", &above, AT_SYMLINK_NOFOLLOW) == 0 &&
         FileIdentity::of(above) == parent.identity;
}

// A directory that vanished is no failure. Anything else (no permission to read it, the
// watch limit, the descriptor limit) loses events below it: the user is told.
TreeWatcher::Outcome TreeWatcher::failed(int error, const std::string& path, EventBatch& out) {
  if (vanished(error)) return Outcome::Vanished;
  out.add(path, kUserDropped);
  return Outcome::Failed;
}

// A watched directory still under the name that a walk finds another directory under has
// left it, and the record of that is still queued (after lost records, there is none).
void TreeWatcher::adopt(Watch& parent, Watch& child, Scan mode) {
  if (Watch* stale = table_.child(parent, child.name); stale && stale != &child) {
    if (mode == Scan::Resync) {
      watches_.drop_tree(*stale, KernelWatch::Remove);
    } else {
      park(*stale, parent.wd, Parking::Displaced);
    }
  }
  table_.link(parent, child);
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
        const WalkResult result =
            walk(root.path, -1, index, report ? Scan::ReportCreated : Scan::Quiet, out);
        if (result.outcome == Outcome::Vanished) continue;
        if (result.outcome == Outcome::Failed) return;  // reported by the walk
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
