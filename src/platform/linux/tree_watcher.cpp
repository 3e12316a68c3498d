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

namespace vestra::platform {

namespace {

constexpr std::uint32_t kChangeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB |
                                      IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// Between the look-up that found a directory and the watch, the name may have been replaced
// by a link or a file: the watch never follows a link and refuses anything else.
constexpr std::uint32_t kDirectoryMask = kChangeMask | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::uint32_t kItemMask = kChangeMask | IN_DONT_FOLLOW;
// An anchor waits for a component to appear. IN_MASK_ADD keeps a tree directory's wider mask
// when the same directory is also an anchor.
constexpr std::uint32_t kAnchorMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;

constexpr std::size_t kReadSize = 256 * 1024;
constexpr std::size_t kBufferSize = 2 * kReadSize;
constexpr std::size_t kMinReadRoom = sizeof(inotify_event) + NAME_MAX + 1;
constexpr std::size_t kMoveNotes = 64;
// How far past a rename its IN_MOVE_SELF is looked for.
constexpr std::size_t kMoveSelfWindow = 64;
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

constexpr FSEventStreamEventFlags kCreated = kFSEventStreamEventFlagItemCreated;
constexpr FSEventStreamEventFlags kRemoved = kFSEventStreamEventFlagItemRemoved;
constexpr FSEventStreamEventFlags kRenamed = kFSEventStreamEventFlagItemRenamed;
constexpr FSEventStreamEventFlags kModified = kFSEventStreamEventFlagItemModified;
constexpr FSEventStreamEventFlags kMetaMod = kFSEventStreamEventFlagItemInodeMetaMod;
constexpr FSEventStreamEventFlags kIsFile = kFSEventStreamEventFlagItemIsFile;
constexpr FSEventStreamEventFlags kIsDir = kFSEventStreamEventFlagItemIsDir;
constexpr FSEventStreamEventFlags kIsSymlink = kFSEventStreamEventFlagItemIsSymlink;
constexpr FSEventStreamEventFlags kIsHardlink = kFSEventStreamEventFlagItemIsHardlink;
constexpr FSEventStreamEventFlags kUserDropped =
    kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagUserDropped;
constexpr FSEventStreamEventFlags kKernelDropped =
    kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagKernelDropped;

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

/// The coarse real-time clock, the one the kernel stamps file times from, in nanoseconds.
std::int64_t stamp_clock() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
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

/// True when `path` names the object open as `fd`.
bool leads_to(const std::string& path, int fd) {
  struct stat by_path, by_fd;
  return ::lstat(path.c_str(), &by_path) == 0 && ::fstat(fd, &by_fd) == 0 &&
         by_path.st_dev == by_fd.st_dev && by_path.st_ino == by_fd.st_ino;
}

}  // namespace

std::unique_ptr<TreeWatcher> TreeWatcher::open(const std::vector<std::string>& paths,
                                               std::size_t max_watches,
                                               std::atomic<std::size_t>& watch_count, int& error) {
  FileDescriptor inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid()) {
    error = errno;
    return nullptr;
  }
  return std::unique_ptr<TreeWatcher>(
      new TreeWatcher(std::move(inotify), covering_paths(paths), max_watches, watch_count));
}

TreeWatcher::TreeWatcher(FileDescriptor inotify, std::vector<std::string> roots,
                         std::size_t max_watches, std::atomic<std::size_t>& watch_count)
    : inotify_(std::move(inotify)),
      max_watches_(max_watches),
      watch_count_(watch_count),
      proc_fd_(::access("/proc/self/fd", X_OK) == 0),
      buffer_(std::make_unique<char[]>(kBufferSize)),
      move_notes_(kMoveNotes) {
  roots_.reserve(roots.size());
  for (std::string& path : roots) {
    Root root;
    root.path = std::move(path);
    roots_.push_back(std::move(root));
  }
  watch_count_.store(0, std::memory_order_relaxed);
}

// Closing the inotify instance removes every kernel watch at once.
TreeWatcher::~TreeWatcher() {
  watch_count_.store(0, std::memory_order_relaxed);
}

void TreeWatcher::start(EventBatch& out) {
  // Every event comes from a watch added from now on.
  unread_since_ = stamp_clock();
  for (std::uint32_t index = 0; index < roots_.size(); ++index) resolve_root(index, false, out);
  prune();
}

// ---------------------------------------------------------------------------------------
// Reading

std::optional<std::chrono::milliseconds> TreeWatcher::read(EventBatch& out) {
  drained_at_.reset();
  const std::int64_t started = stamp_clock();
  ssize_t count;
  do {
    count = ::read(inotify_.get(), buffer_.get(), kReadSize);
  } while (count < 0 && errno == EINTR);
  note_read(started, count, kReadSize);
  if (count <= 0) {
    if (drained_at_) unread_since_ = *drained_at_;
    return std::nullopt;
  }
  end_ = static_cast<std::size_t>(count);
  indexed_end_ = 0;
  moved_to_.clear();

  std::size_t offset = 0;
  while (offset < end_) {  // end_ grows when a rename's second half is read in
    inotify_event event;
    std::memcpy(&event, buffer_.get() + offset, sizeof event);
    const char* name_bytes = buffer_.get() + offset + sizeof event;
    const std::string_view name(name_bytes, event.len ? ::strnlen(name_bytes, event.len) : 0);
    const std::size_t next = offset + sizeof event + event.len;
    handle(event, name, next, out);
    prune();
    offset = next;
  }
  if (drained_at_) unread_since_ = *drained_at_;
  return std::exchange(requested_delay_, std::nullopt);
}

// A read that found the queue empty, or that left room in the buffer for one more event of
// any size, took every event queued when it began: whatever is read later happened after
// `started`.
void TreeWatcher::note_read(std::int64_t started, ssize_t count, std::size_t room) {
  const bool empty = count < 0 && errno == EAGAIN;
  if (empty || (count > 0 && static_cast<std::size_t>(count) + kMinReadRoom <= room)) {
    drained_at_ = started;
  }
}

bool TreeWatcher::read_more() {
  const std::size_t room = kBufferSize - end_;
  if (room < kMinReadRoom) return false;
  const std::int64_t started = stamp_clock();
  ssize_t count;
  do {
    count = ::read(inotify_.get(), buffer_.get() + end_, room);
  } while (count < 0 && errno == EINTR);
  note_read(started, count, room);
  if (count <= 0) return false;
  end_ += static_cast<std::size_t>(count);
  return true;
}

void TreeWatcher::index_moved_to() {
  while (indexed_end_ < end_) {
    inotify_event event;
    std::memcpy(&event, buffer_.get() + indexed_end_, sizeof event);
    if (event.mask & IN_MOVED_TO) moved_to_.emplace(event.cookie, indexed_end_);
    indexed_end_ += sizeof event + event.len;
  }
}

// The two halves of a rename are queued one after the other, but a read may end between
// them: when the first half ends the buffer, one more read looks for the second.
std::optional<TreeWatcher::Destination> TreeWatcher::find_moved_to(std::uint32_t cookie,
                                                                   std::size_t after) {
  index_moved_to();
  auto found = moved_to_.find(cookie);
  if (found == moved_to_.end() && after >= end_ && read_more()) {
    index_moved_to();
    found = moved_to_.find(cookie);
  }
  if (found == moved_to_.end() || found->second < after) return std::nullopt;
  inotify_event event;
  std::memcpy(&event, buffer_.get() + found->second, sizeof event);
  const char* name = buffer_.get() + found->second + sizeof event;
  return Destination{event.wd, std::string_view(name, ::strnlen(name, event.len))};
}

void TreeWatcher::remember_move(std::uint32_t cookie, MoveKind kind, FSEventStreamEventFlags type) {
  move_notes_[next_note_] = MoveNote{cookie, kind, type};
  next_note_ = (next_note_ + 1) % move_notes_.size();
}

const TreeWatcher::MoveNote* TreeWatcher::recall_move(std::uint32_t cookie) const {
  if (cookie == 0) return nullptr;
  for (const MoveNote& note : move_notes_) {
    if (note.cookie == cookie) return &note;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Translation

void TreeWatcher::handle(const inotify_event& event, std::string_view name, std::size_t next,
                         EventBatch& out) {
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
  if (watch->item_root != kNoRoot) {
    on_item_root_event(*watch, event.mask, out);
    return;
  }
  const int wd = event.wd;
  const bool anchor = watch->anchor_count > 0;
  if (watch->in_tree()) on_tree_event(*watch, event.mask, event.cookie, name, next, out);
  if (anchor) on_anchor_event(wd, event.mask, name, out);
}

void TreeWatcher::on_tree_event(Watch& dir, std::uint32_t mask, std::uint32_t cookie,
                                std::string_view name, std::size_t next, EventBatch& out) {
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
      out.add(dir.path, name, kModified | kIsFile);
      break;
    case IN_ATTRIB:
      out.add(dir.path, name, kMetaMod | (is_dir ? kIsDir : known_type(dir, name)));
      // A subdirectory without a watch is one that could not be watched or read: it may
      // just have become readable. Watched now, what it holds is reported as created.
      if (is_dir && !table_.child(dir, name)) {
        walk(path_text::join(dir.path, name), dir.wd, dir.root, Scan::ReportCreated, out);
      }
      break;
    case IN_DELETE:
      on_deleted(dir, name, is_dir, out);
      break;
    case IN_MOVED_FROM:
      on_moved_from(dir, name, is_dir, cookie, next, out);
      break;
    case IN_MOVED_TO:
      on_moved_to(dir, name, is_dir, cookie, out);
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
    forget_root(index, true);
    resolve_root(index, true, out);
  } else if (mask & IN_MOVE_SELF) {
    // The tree now lives elsewhere, so its events would carry wrong paths: its watches go,
    // and the path is watched again by name.
    out.add(root.path, kFSEventStreamEventFlagRootChanged);
    forget_root(index, true);
    resolve_root(index, true, out);
  }
}

void TreeWatcher::on_item_root_event(Watch& item, std::uint32_t mask, EventBatch& out) {
  const std::uint32_t index = item.item_root;
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
      forget_root(index, true);
      resolve_root(index, true, out);
    }
  } else if (mask & IN_DELETE_SELF) {
    out.add(root.path, kRemoved | root.type);
    forget_root(index, true);
    resolve_root(index, true, out);
  } else if (mask & IN_MOVE_SELF) {
    out.add(root.path, kRenamed | root.type);
    forget_root(index, true);
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
    forget_root(index, true);
    resolve_root(index, true, out);
  }
}

void TreeWatcher::on_created(Watch& dir, std::string_view name, bool is_dir, EventBatch& out) {
  if (is_dir) {
    out.add(dir.path, name, kCreated | kIsDir);
    walk(path_text::join(dir.path, name), dir.wd, dir.root, Scan::ReportCreated, out);
    return;
  }
  scratch_path_.assign(dir.path);
  path_text::append(scratch_path_, name);
  FSEventStreamEventFlags flags = kCreated | kIsFile;
  struct stat st;
  if (::fstatat(AT_FDCWD, scratch_path_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      flags = kCreated | kIsSymlink;
      remember_symlink(dir, name);
    } else if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
      flags |= kIsHardlink;
    }
  }
  if (!(flags & kIsSymlink)) forget_symlink(dir, name);
  out.add(scratch_path_, flags);
}

void TreeWatcher::on_deleted(Watch& dir, std::string_view name, bool is_dir, EventBatch& out) {
  if (is_dir) {
    out.add(dir.path, name, kRemoved | kIsDir);
    if (Watch* gone = table_.child(dir, name)) drop_tree(*gone, true);
    return;
  }
  out.add(dir.path, name, kRemoved | (forget_symlink(dir, name) ? kIsSymlink : kIsFile));
}

void TreeWatcher::on_moved_from(Watch& dir, std::string_view name, bool is_dir,
                                std::uint32_t cookie, std::size_t next, EventBatch& out) {
  if (!is_dir) {
    const FSEventStreamEventFlags type = forget_symlink(dir, name) ? kIsSymlink : kIsFile;
    remember_move(cookie, MoveKind::Item, type);
    out.add(dir.path, name, kRenamed | type);
    return;
  }
  out.add(dir.path, name, kRenamed | kIsDir);
  Watch* moved = table_.child(dir, name);
  if (!moved) {
    remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
    return;
  }
  const std::optional<Destination> destination = find_moved_to(cookie, next);
  Watch* target = destination ? table_.find(destination->wd) : nullptr;
  if (target && !target->in_tree()) target = nullptr;
  const std::string_view target_name = destination ? destination->name : std::string_view();
  switch (check_move(dir, name, *moved, cookie, next, target, target_name)) {
    case MoveCheck::Stayed:
      // The name belongs to a directory that took it after this rename: the one that moved
      // is not known here.
      remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
      return;
    case MoveCheck::Elsewhere:
      // Neither here nor at the destination: its own queued events find it again.
      drop_tree(*moved, true);
      remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
      return;
    case MoveCheck::Moved:
      break;
  }
  if (!target) {
    // Moved out of every tree: nothing below it can be reported under a right path.
    drop_tree(*moved, true);
    return;
  }
  // Moved within the trees: its watches stay, and every path below it changes at once.
  if (Watch* replaced = table_.child(*target, target_name); replaced && replaced != moved) {
    drop_tree(*replaced, true);
  }
  // Subdirectories that a walk lost to this very rename are found under the new path now.
  table_.move(*moved, target, path_text::join(target->path, target_name), target->root,
              &to_complete_);
  remember_move(cookie, MoveKind::DirectoryCarried, kIsDir);
  complete_pending(out);
}

// Whether the rename with `cookie` moved `candidate`, the watched directory that the table
// has under the rename's old name.
//
// The table can be ahead of the queue: a walk that runs while events are still queued
// watches directories as they are at that moment, so the old name may already belong to a
// directory that took it after this rename. The kernel tells them apart: renaming a watched
// directory queues IN_MOVE_SELF on that directory's own watch right after the two halves,
// before any later rename. Only when that is not in sight do the paths decide.
TreeWatcher::MoveCheck TreeWatcher::check_move(const Watch& dir, std::string_view name,
                                               const Watch& candidate, std::uint32_t cookie,
                                               std::size_t next, const Watch* target,
                                               std::string_view target_name) {
  std::size_t offset = next;
  for (std::size_t seen = 0; seen < kMoveSelfWindow; ++seen) {
    if (offset >= end_ && !read_more()) break;
    inotify_event event;
    std::memcpy(&event, buffer_.get() + offset, sizeof event);
    if (event.wd == candidate.wd && (event.mask & IN_MOVE_SELF)) return MoveCheck::Moved;
    if ((event.mask & IN_Q_OVERFLOW) ||
        ((event.mask & (IN_MOVED_FROM | IN_MOVED_TO)) && event.cookie != cookie)) {
      break;
    }
    offset += sizeof event + event.len;
  }
  const auto is_candidate = [&](const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && st.st_ino == candidate.inode &&
           st.st_dev == candidate.device;
  };
  scratch_path_.assign(dir.path);
  path_text::append(scratch_path_, name);
  if (is_candidate(scratch_path_)) return MoveCheck::Stayed;
  if (target) {
    scratch_path_.assign(target->path);
    path_text::append(scratch_path_, target_name);
    if (is_candidate(scratch_path_)) return MoveCheck::Moved;
  }
  return MoveCheck::Elsewhere;
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
  if (!watch || !watch->in_tree() || !watch->incomplete) return;
  FileDescriptor fd(::open(watch->path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    // Gone from this path too: renamed again, and that rename, still queued, brings it
    // back here; or deleted. Anything else keeps it from being listed: the user is told.
    if (!vanished(errno)) {
      watch->incomplete = false;
      out.add(watch->path, kUserDropped);
    }
    return;
  }
  // Another directory may have taken the path meanwhile: the same wait applies.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || st.st_ino != watch->inode || st.st_dev != watch->device) {
    return;
  }
  watch->incomplete = false;
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
      unwatched_.push_back(path_text::join(watch->path, entry.name));
    }
  }
  const std::uint32_t root = watch->root;
  const std::vector<std::string> unwatched = std::move(unwatched_);
  unwatched_.clear();
  for (const std::string& path : unwatched) {
    out.add(path, kCreated | kIsDir);
    walk(path, wd, root, Scan::ReportCreated, out);
  }
}

void TreeWatcher::on_moved_to(Watch& dir, std::string_view name, bool is_dir, std::uint32_t cookie,
                              EventBatch& out) {
  const MoveNote* note = recall_move(cookie);
  if (!is_dir) {
    FSEventStreamEventFlags type = kIsFile;
    if (note && note->kind == MoveKind::Item) {
      type = note->type;
    } else {
      scratch_path_.assign(dir.path);
      path_text::append(scratch_path_, name);
      struct stat st;
      if (::fstatat(AT_FDCWD, scratch_path_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        type = kIsSymlink;
      }
    }
    if (type == kIsSymlink) {
      remember_symlink(dir, name);
    } else {
      forget_symlink(dir, name);
    }
    out.add(dir.path, name, kRenamed | type);
    return;
  }
  out.add(dir.path, name, kRenamed | kIsDir);
  if (note && note->kind == MoveKind::DirectoryCarried) return;
  // A directory that was inside but never watched (it was renamed before its creation was
  // read) has contents nobody reported. One from outside the trees, or moved out and back
  // before either rename was read, is watched as it is; what changed in it after the last
  // events read may have changed after the move, before its watches: that is reported.
  const Scan mode =
      note && note->kind == MoveKind::DirectoryUnwatched ? Scan::ReportCreated : Scan::MovedIn;
  walk(path_text::join(dir.path, name), dir.wd, dir.root, mode, out);
}

// Every watch on an unmounted file system gets its own IN_UNMOUNT, in no useful order. Only
// the topmost watched directory of that file system is reported: the one whose parent is on
// another.
void TreeWatcher::on_unmount(Watch& watch, EventBatch& out) {
  if (watch.item_root != kNoRoot) {
    out.add(roots_[watch.item_root].path, kFSEventStreamEventFlagUnmount);
  } else if (watch.in_tree()) {
    watch.unmounted = true;
    if (!watch.parent || watch.parent->device != watch.device) {
      out.add(watch.path, kFSEventStreamEventFlagUnmount);
    }
  }
}

void TreeWatcher::on_ignored(int wd, EventBatch& out) {
  // The kernel has dropped this watch (deletion, unmount): every role it played ends.
  Watch* watch = table_.find(wd);
  if (watch->item_root != kNoRoot) {
    const std::uint32_t index = watch->item_root;
    forget_root(index, false);
    resolve_root(index, false, out);
  }
  watch = table_.find(wd);
  if (watch && watch->in_tree()) {
    const std::uint32_t index = watch->root;
    const Root& root = roots_[index];
    if (!watch->parent && root.state == RootState::Directory && root.wd == wd) {
      forget_root(index, false);
      resolve_root(index, false, out);
    } else if (watch->unmounted && watch->parent && watch->parent->device != watch->device) {
      // A mount point: the directory beneath the file system that went away shows again.
      const int parent_wd = watch->parent->wd;
      std::string path = watch->path;
      drop_tree(*watch, true);
      walk(std::move(path), parent_wd, index, Scan::Quiet, out);
    } else {
      drop_tree(*watch, true);
    }
  }
  watch = table_.find(wd);
  if (watch && watch->anchor_count > 0) {
    matched_roots_.clear();
    for (std::uint32_t index = 0; index < roots_.size(); ++index) {
      if (roots_[index].state == RootState::Missing && roots_[index].wd == wd) {
        matched_roots_.push_back(index);
      }
    }
    for (const std::uint32_t index : matched_roots_) {
      forget_root(index, false);
      resolve_root(index, false, out);
    }
  }
  if (table_.find(wd)) remove_watch(wd, false);
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
  wds_.clear();
  table_.for_each([&](Watch& watch) {
    if (watch.in_tree() && watch.epoch != epoch_) wds_.push_back(watch.wd);
  });
  const std::vector<int> stale = wds_;
  for (const int wd : stale) {
    if (Watch* watch = table_.find(wd); watch && watch->in_tree()) drop_tree(*watch, true);
  }
  for (std::uint32_t index = 0; index < roots_.size(); ++index) {
    if (roots_[index].state == RootState::Directory) continue;
    forget_root(index, true);
    resolve_root(index, false, out);
  }
  prune();
}

// ---------------------------------------------------------------------------------------
// Watches

int TreeWatcher::add_watch(const char* path, std::uint32_t mask) {
  if (table_.size() >= max_watches_) return -ENOSPC;
  const int wd = ::inotify_add_watch(inotify_.get(), path, mask);
  return wd >= 0 ? wd : -errno;
}

// The watch is added through the open directory itself, so that it is on the very
// directory that is then scanned, even if the path has meanwhile been given to another.
int TreeWatcher::add_directory_watch(const std::string& path, int dir_fd) {
  if (!proc_fd_) return add_watch(path.c_str(), kDirectoryMask);
  char link[32] = "/proc/self/fd/";
  constexpr std::size_t kPrefix = sizeof "/proc/self/fd/" - 1;
  const auto printed = std::to_chars(link + kPrefix, link + sizeof link - 1, dir_fd);
  *printed.ptr = '\0';
  return add_watch(link, kDirectoryMask & ~IN_DONT_FOLLOW);
}

Watch& TreeWatcher::new_watch(int wd, std::string path) {
  Watch& watch = table_.insert(wd, std::move(path));
  watch_count_.store(table_.size(), std::memory_order_relaxed);
  return watch;
}

void TreeWatcher::remove_watch(int wd, bool from_kernel) {
  if (from_kernel) ::inotify_rm_watch(inotify_.get(), wd);
  table_.erase(wd);
  watch_count_.store(table_.size(), std::memory_order_relaxed);
}

void TreeWatcher::prune() {
  for (const int wd : prune_candidates_) {
    if (const Watch* watch = table_.find(wd); watch && !watch->has_role()) remove_watch(wd, true);
  }
  prune_candidates_.clear();
}

TreeWatcher::WalkResult TreeWatcher::walk(std::string path, int parent_wd, std::uint32_t root,
                                          Scan mode, EventBatch& out) {
  pending_.clear();
  frames_.clear();
  pending_.push_back(PendingDirectory{std::move(path), parent_wd, 0, kNoFrame, mode});
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
    const Outcome outcome = visit(dir, parent_fd, root, dir.mode, out, wd);
    if (first) top = WalkResult{outcome, wd};
    // Listed a moment ago, gone now: deleted, or renamed with an ancestor, in which case the
    // rename's events bring the walk back here under the new path.
    if (outcome == Outcome::Vanished && parent_wd != -1) {
      if (Watch* parent = table_.find(parent_wd)) parent->incomplete = true;
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
    wd = add_watch(dir.path.c_str(), kDirectoryMask);
    if (wd < 0) return failed(-wd, dir.path, out);
    fd = open_directory();
    if (!fd.valid()) {
      const int error = errno;
      discard_if_unknown(wd);
      return failed(error, dir.path, out);
    }
    if (stat_open(fd.get()) && st.st_ino == dir.inode) {
      // A directory's link count is 2 plus its subdirectories where the file system keeps
      // it so (1 where it does not).
      if (st.st_nlink >= 2) subdirectories = static_cast<long>(st.st_nlink - 2);
    } else {
      // Replaced meanwhile, or a mount point, which is listed with the inode beneath it.
      const int exact = add_directory_watch(dir.path, fd.get());
      if (exact != wd) discard_if_unknown(wd);
      wd = exact;
      if (wd < 0) return failed(-wd, dir.path, out);
    }
  } else {
    fd = open_directory();
    if (!fd.valid()) return failed(errno, dir.path, out);
    wd = add_directory_watch(dir.path, fd.get());
    if (wd < 0) return failed(-wd, dir.path, out);
    if (::fstat(fd.get(), &st) != 0) st = {};
  }

  Watch* parent = nullptr;
  if (dir.parent_wd != -1) {
    parent = table_.find(dir.parent_wd);
    if (!parent || !parent->in_tree()) {
      discard_if_unknown(wd);
      return Outcome::Failed;
    }
  }
  reader_.open(fd.get());
  if (dir.inode == 0 && parent && !inside(*parent, fd.get(), st)) {
    // Reached by a path that a rename, still queued, has taken from the parent: what the
    // path leads to now is another directory. The rename brings the walk back.
    discard_if_unknown(wd);
    return Outcome::Vanished;
  }
  Watch* watch = table_.find(wd);
  if (watch && watch->in_tree()) {
    if (mode == Scan::Resync && watch->epoch == epoch_) return Outcome::Watched;
    if (watch->path != dir.path || watch->parent != parent) {
      // Known elsewhere: renamed, and the rename is not read yet (or was lost). Unless its
      // old path still leads to it: then this is a second path to it, through a mount.
      if (!parent) {
        if (mode != Scan::Resync) return Outcome::Watched;
      } else if (watch->path != dir.path && leads_to(watch->path, fd.get())) {
        return Outcome::Watched;
      }
      for (Watch* above = parent; above; above = above->parent) {
        if (above == watch) return Outcome::Watched;
      }
      if (parent) {
        if (Watch* other = table_.child(*parent, name); other && other != watch) {
          drop_tree(*other, true);
        }
      }
      table_.move(*watch, parent, std::move(dir.path), root,
                  mode == Scan::Resync ? nullptr : &to_complete_);
    } else if (mode != Scan::Resync && watch->incomplete) {
      to_complete_.push_back(watch->wd);
    }
    // Its watch never lapsed: what changed in it came as events. What a walk lost below it
    // to a rename is listed again now that its present path is known (after this walk).
    if (mode != Scan::Resync) return Outcome::Watched;
  } else {
    if (!watch) {
      watch = &new_watch(wd, std::move(dir.path));
    } else {
      watch->path = std::move(dir.path);
    }
    watch->root = root;
    if (parent) adopt(*parent, *watch);
  }
  watch->epoch = epoch_;
  watch->device = st.st_dev;
  watch->inode = st.st_ino;
  watch->incomplete = false;  // the scan lists every subdirectory
  if (mode == Scan::Resync) watch->symlinks.reset();
  Scan scan_mode = mode;
  if (dated) {
    switch (have_status ? age(status) : Age::BornSince) {
      case Age::BornSince:  // and so is everything in it
        out.add(watch->path, kCreated | kIsDir);
        scan_mode = Scan::ReportCreated;
        break;
      case Age::ChangedSince:
        // Making, removing or renaming an entry changes the directory's times too, and the
        // entries tell of that themselves. Its status changed apart from them when its
        // status change time is later than that of its last entry change.
        if (!(status.stx_mask & STATX_MTIME) ||
            nanoseconds(status.stx_ctime) > nanoseconds(status.stx_mtime)) {
          out.add(watch->path, kMetaMod | kIsDir);
        }
        break;
      case Age::Older:
        break;
    }
  }
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

std::size_t TreeWatcher::scan(Watch& dir, int dir_fd, Scan mode, long subdirectories,
                              EventBatch& out) {
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
      type = date_entry(dir, dir_fd, entry, out);
      if (type == DT_UNKNOWN) continue;
    } else if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dir_fd, entry.name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = IFTODT(st.st_mode);
    }
    if (type == DT_DIR) {
      std::string child = path_text::join(dir.path, entry.name);
      if (report) out.add(child, kCreated | kIsDir);
      pending_.push_back(PendingDirectory{std::move(child), dir.wd, entry.inode, kNoFrame, mode});
      ++found;
    } else if (type == DT_LNK) {
      remember_symlink(dir, entry.name);
      if (report) out.add(dir.path, entry.name, kCreated | kIsSymlink);
    } else if (report) {
      out.add(dir.path, entry.name, kCreated | kIsFile);
    }
  }
  return found;
}

// Where an entry's times stand against unread_since_. An entry that a MovedIn walk finds
// changed after it may have changed after the move, before its directory was watched: no
// event tells of that. One changed before it was either outside the trees then, or its
// change was read as an event. A time the file system does not give counts as recent.
TreeWatcher::Age TreeWatcher::age(const struct statx& status) const {
  const std::int64_t since = unread_since_ - kStampMargin;
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
unsigned char TreeWatcher::date_entry(Watch& dir, int dir_fd, const DirectoryReader::Entry& entry,
                                      EventBatch& out) {
  struct statx status;
  if (::statx(dir_fd, entry.name.data(), AT_SYMLINK_NOFOLLOW, kStatusMask, &status) != 0) {
    if (vanished(errno)) return DT_UNKNOWN;
    // Listed but not to be looked at: taken for new, with the type that the listing gave.
    const unsigned char type =
        entry.type == DT_UNKNOWN ? static_cast<unsigned char>(DT_REG) : entry.type;
    out.add(dir.path, entry.name, kCreated | (type == DT_LNK ? kIsSymlink : kIsFile));
    return type;
  }
  const unsigned char type = IFTODT(status.stx_mode);
  if (type == DT_DIR) return type;  // dated once visited
  const FSEventStreamEventFlags kind = type_of(status.stx_mode);
  switch (age(status)) {
    case Age::BornSince: {
      const bool linked = S_ISREG(status.stx_mode) && status.stx_nlink > 1;
      out.add(dir.path, entry.name, kCreated | kind | (linked ? kIsHardlink : 0));
      break;
    }
    case Age::ChangedSince: {
      // Its contents changed, or only its status (permissions, owner, links).
      const bool written = !(status.stx_mask & STATX_MTIME) ||
                           nanoseconds(status.stx_mtime) >= unread_since_ - kStampMargin;
      out.add(dir.path, entry.name, (written ? kModified : kMetaMod) | kind);
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
  if (st.st_dev == parent.device && reader_.parent_inode() == parent.inode) return true;
  struct stat above;
  return ::fstatat(fd, "..", &above, AT_SYMLINK_NOFOLLOW) == 0 && above.st_ino == parent.inode &&
         above.st_dev == parent.device;
}

void TreeWatcher::discard_if_unknown(int wd) {
  if (wd >= 0 && !table_.find(wd)) ::inotify_rm_watch(inotify_.get(), wd);
}

// A directory that vanished is no failure. Anything else (no permission to read it, the
// watch limit, the descriptor limit) loses events below it: the user is told.
TreeWatcher::Outcome TreeWatcher::failed(int error, const std::string& path, EventBatch& out) {
  if (vanished(error)) return Outcome::Vanished;
  out.add(path, kUserDropped);
  return Outcome::Failed;
}

void TreeWatcher::adopt(Watch& parent, Watch& child) {
  const std::string_view name = path_text::last_component(child.path);
  if (Watch* stale = table_.child(parent, name); stale && stale != &child) {
    drop_tree(*stale, true);
  }
  table_.link(parent, child);
}

void TreeWatcher::drop_tree(Watch& top, bool from_kernel) {
  wds_.clear();
  table_.detach(top, wds_);
  for (const int wd : wds_) {
    const Watch* watch = table_.find(wd);
    if (watch && !watch->has_role()) remove_watch(wd, from_kernel);
  }
}

void TreeWatcher::remember_symlink(Watch& dir, std::string_view name) {
  if (!dir.symlinks) dir.symlinks = std::make_unique<NameSet>();
  dir.symlinks->emplace(name);
}

bool TreeWatcher::forget_symlink(Watch& dir, std::string_view name) {
  if (!dir.symlinks) return false;
  const auto found = dir.symlinks->find(name);
  if (found == dir.symlinks->end()) return false;
  dir.symlinks->erase(found);
  return true;
}

FSEventStreamEventFlags TreeWatcher::known_type(const Watch& dir, std::string_view name) {
  return dir.symlinks && dir.symlinks->contains(name) ? kIsSymlink : kIsFile;
}

// ---------------------------------------------------------------------------------------
// Stream paths

void TreeWatcher::forget_root(std::uint32_t index, bool from_kernel) {
  Root& root = roots_[index];
  Watch* watch = root.wd != -1 ? table_.find(root.wd) : nullptr;
  switch (root.state) {
    case RootState::Directory:
      if (watch && watch->root == index && !watch->parent) drop_tree(*watch, from_kernel);
      break;
    case RootState::Item:
      if (watch && watch->item_root == index) {
        watch->item_root = kNoRoot;
        if (!watch->has_role()) remove_watch(root.wd, from_kernel);
      }
      break;
    case RootState::Missing:
      // Dropped later, so that waiting again in the same directory keeps its watch.
      if (watch && watch->anchor_count > 0) {
        --watch->anchor_count;
        prune_later(root.wd);
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
        }
        return;
      }
      const int wd = add_watch(root.path.c_str(), kItemMask);
      if (wd < 0) {
        if (vanished(-wd)) continue;
        out.add(root.path, kUserDropped);
        return;
      }
      Watch* item = table_.find(wd);
      if (!item) item = &new_watch(wd, root.path);
      item->item_root = index;
      root.state = RootState::Item;
      root.wd = wd;
      root.identity = FileIdentity{st.st_dev, st.st_ino};
      root.type = S_ISLNK(st.st_mode) ? kIsSymlink : kIsFile;
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
    const int wd = add_watch(anchor_path.c_str(), kAnchorMask);
    if (wd < 0) {
      if (vanished(-wd)) continue;
      out.add(root.path, kUserDropped);
      return;
    }
    Watch* anchor = table_.find(wd);
    if (!anchor) anchor = &new_watch(wd, anchor_path);
    ++anchor->anchor_count;
    root.state = RootState::Missing;
    root.wd = wd;
    root.next = next;
    // The component may have appeared between the look-up and the watch. A non-directory
    // on the way blocks the path until it is replaced, which the anchor then sees.
    std::string awaited = path_text::join(anchor_path, next);
    struct stat appeared;
    if (::lstat(awaited.c_str(), &appeared) != 0) return;
    if (!S_ISDIR(appeared.st_mode) && awaited != root.path) return;
    forget_root(index, true);
  }
  // The path kept changing under every attempt.
  out.add(root.path, kUserDropped);
}

}  // namespace vestra::platform
