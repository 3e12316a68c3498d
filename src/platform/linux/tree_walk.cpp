#include "platform/linux/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/linux/path_text.h"
#include "platform/linux/record_flags.h"

namespace vestra::platform {

using namespace record_flags;

namespace {

constexpr std::uint32_t kNoFrame = UINT32_MAX;
// Deeper than this, directories are opened by their full path.
constexpr std::size_t kMaxOpenDirectories = 32;
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// How much earlier than the clock said a change may carry its time stamp. The kernel stamps
// from a clock that only moves on each tick, and an operation may stamp its times a moment
// before it queues its event; the margin covers both, with room to spare. Too wide a margin
// costs a few needless reports, too narrow a one loses changes.
constexpr std::int64_t kStampMargin = 20'000'000;  // nanoseconds
// What a MovedIn walk asks of each entry.
constexpr unsigned kStatusMask =
    STATX_TYPE | STATX_NLINK | STATX_INO | STATX_MTIME | STATX_CTIME | STATX_BTIME;

std::int64_t nanoseconds(const statx_timestamp& stamp) {
  return stamp.tv_sec * 1'000'000'000 + stamp.tv_nsec;
}

FSEventStreamEventFlags type_of(mode_t mode) {
  if (S_ISDIR(mode)) return kIsDir;
  return S_ISLNK(mode) ? kIsSymlink : kIsFile;
}

/// The type (DT_*) of `entry` in the directory open as `dir_fd`: as the listing gave it, or
/// from its status where the file system gives none; DT_UNKNOWN when it is gone.
unsigned char entry_type(int dir_fd, const DirectoryReader::Entry& entry) {
  if (entry.type != DT_UNKNOWN) return entry.type;
  struct stat st;
  if (::fstatat(dir_fd, entry.name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  return IFTODT(st.st_mode);
}

/// Opens the directory at `path`, relative to its open parent when there is one.
FileDescriptor open_directory(const std::string& path, int parent_fd) {
  return FileDescriptor(
      parent_fd != -1 ? ::openat(parent_fd, path_text::last_component(path).data(), kOpenFlags)
                      : ::open(path.c_str(), kOpenFlags));
}

}  // namespace

TreeWalk::Result TreeWalk::walk(std::string path, int parent_wd, std::uint32_t root, Scan mode,
                                EventBatch& out, Announce announce) {
  // A directory made or moved in below a stream path is left alone as the walk's own
  // subdirectories are; a stream path itself is always watched.
  if (parent_wd != -1 && skips(path)) return Result{Outcome::Vanished, -1};
  const Result top = walk_tree(std::move(path), parent_wd, root, mode, out, announce);
  complete_pending(out);
  return top;
}

TreeWalk::Result TreeWalk::walk_tree(std::string path, int parent_wd, std::uint32_t root, Scan mode,
                                     EventBatch& out, Announce announce) {
  pending_.clear();
  frames_.clear();
  pending_.push_back(PendingDirectory{std::move(path), parent_wd, 0, kNoFrame, mode, announce});
  Result top{Outcome::Failed, -1};
  bool first = true;
  while (!pending_.empty()) {
    // Checked per directory, so that a stop during the set-up of a huge tree is prompt.
    if (control_ && control_->stop_requested.load(std::memory_order_relaxed)) {
      pending_.clear();
      break;
    }
    PendingDirectory dir = std::move(pending_.back());
    pending_.pop_back();
    int parent_fd = -1;
    if (dir.frame != kNoFrame) {
      parent_fd = frames_[dir.frame].fd.get();
      --frames_[dir.frame].pending;
    }
    const int parent_wd = dir.parent_wd;
    // The top of a walk was reported by its caller; a listed one once visited.
    const bool reported = first || dir.announce == Announce::Yes;
    const Result visited = visit(dir, parent_fd, root, dir.mode, out);
    const Outcome outcome = visited.outcome;
    if (first) top = visited;
    // Listed a moment ago, gone now: deleted, or renamed with an ancestor, in which case the
    // rename's events bring the walk back here under the new path. Reported but not
    // watched, it is not reported again when its parent is listed once more.
    if (parent_wd != -1 && (outcome == Outcome::Vanished || outcome == Outcome::Failed)) {
      if (Watch* parent = watches_.table().find(parent_wd); parent && parent->in_tree()) {
        if (outcome == Outcome::Vanished) watches_.table().set_incomplete(*parent, true);
        if (reported || outcome == Outcome::Failed) {
          parent->more().blocked.emplace(path_text::last_component(dir.path));
        }
      }
    }
    first = false;
    while (!frames_.empty() && frames_.back().pending == 0) frames_.pop_back();
  }
  frames_.clear();
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
TreeWalk::Result TreeWalk::visit(PendingDirectory& dir, int parent_fd, std::uint32_t root,
                                 Scan mode, EventBatch& out) {
  // A subdirectory that a MovedIn scan found is dated here, from the directory opened anyway
  // (the top of the walk is the moved directory itself, whose rename is reported).
  Opened opened;
  opened.dated = mode == Scan::MovedIn && dir.inode != 0;
  const std::optional<Outcome> unopened = dir.inode != 0
                                              ? watch_and_open_listed(dir, parent_fd, opened, out)
                                              : open_and_watch(dir, parent_fd, opened, out);
  const int wd = opened.wd;
  if (unopened) return Result{*unopened, wd};

  WatchTable& table = watches_.table();
  Watch* parent = nullptr;
  if (dir.parent_wd != -1) {
    parent = table.find(dir.parent_wd);
    if (!parent || !parent->in_tree()) {
      watches_.discard_if_unknown(wd);
      return Result{Outcome::Failed, wd};
    }
  }
  reader_.open(opened.fd.get());
  if (dir.inode == 0 && parent && !inside(*parent, opened.fd.get(), opened.st)) {
    // Reached by a path that a rename, still queued, has taken from the parent: what the
    // path leads to now is another directory. The rename brings the walk back.
    watches_.discard_if_unknown(wd);
    return Result{Outcome::Vanished, wd};
  }
  Watch* watch = table.find(wd);
  if (watch && watch->in_tree()) {
    if (!already_watched(*watch, parent, dir, root, mode, opened.fd.get())) {
      return Result{Outcome::Watched, wd};
    }
  } else {
    watch = &newly_watched(watch, wd, parent, dir, root, mode, out);
  }
  if (watch->polled) {
    watch->epoch = era_.epoch;
    return Result{Outcome::Watched, wd};
  }
  if (parent && polls_mount(*watch, *parent, opened, mode, out)) {
    return Result{Outcome::Watched, wd};
  }
  list(*watch, opened, mode, out);
  return Result{Outcome::Watched, wd};
}

// A subdirectory that a scan listed: watched by path, then opened and checked against the
// inode that the listing gave.
std::optional<TreeWalk::Outcome> TreeWalk::watch_and_open_listed(PendingDirectory& dir,
                                                                 int parent_fd, Opened& opened,
                                                                 EventBatch& out) {
  opened.wd = watches_.add_directory_watch(dir.path);
  if (opened.wd < 0) return fail(dir, -opened.wd, out);
  opened.fd = open_directory(dir.path, parent_fd);
  if (!opened.fd.valid()) {
    const int error = errno;
    watches_.discard_if_unknown(opened.wd);
    return fail(dir, error, out);
  }
  if (stat_open(opened) && opened.st.st_ino == dir.inode) {
    // A directory's link count is 2 plus its subdirectories where the file system keeps
    // it so (1 where it does not).
    if (opened.st.st_nlink >= 2) opened.subdirectories = static_cast<long>(opened.st.st_nlink - 2);
  } else {
    // Replaced meanwhile, or a mount point, which is listed with the inode beneath it.
    const int exact = watches_.add_directory_watch(dir.path, opened.fd.get());
    if (exact != opened.wd) watches_.discard_if_unknown(opened.wd);
    opened.wd = exact;
    if (opened.wd < 0) return fail(dir, -opened.wd, out);
  }
  return std::nullopt;
}

// A directory known only by its path: opened, then watched through the open descriptor.
std::optional<TreeWalk::Outcome> TreeWalk::open_and_watch(PendingDirectory& dir, int parent_fd,
                                                          Opened& opened, EventBatch& out) {
  opened.fd = open_directory(dir.path, parent_fd);
  if (!opened.fd.valid()) return fail(dir, errno, out);
  opened.wd = watches_.add_directory_watch(dir.path, opened.fd.get());
  if (opened.wd < 0) return fail(dir, -opened.wd, out);
  if (::fstat(opened.fd.get(), &opened.st) != 0) opened.st = {};
  return std::nullopt;
}

bool TreeWalk::stat_open(Opened& opened) {
  const int fd = opened.fd.get();
  if (!opened.dated) return ::fstat(fd, &opened.st) == 0;
  opened.have_status = ::statx(fd, "", AT_EMPTY_PATH, kStatusMask, &opened.status) == 0;
  if (!opened.have_status) return false;
  const struct statx& status = opened.status;
  opened.st = {};
  opened.st.st_dev = makedev(status.stx_dev_major, status.stx_dev_minor);
  opened.st.st_ino = status.stx_ino;
  opened.st.st_nlink = status.stx_nlink;
  opened.st.st_mode = status.stx_mode;
  return true;
}

// A directory that the table has in a tree already. Its watch never lapsed: what changed in
// it came as events, so it is listed again only by a resync. What a walk lost below it to a
// rename is listed again now that its present path is known (after this walk).
bool TreeWalk::already_watched(Watch& watch, Watch* parent, PendingDirectory& dir,
                               std::uint32_t root, Scan mode, int fd) {
  if (mode == Scan::Resync && watch.epoch == era_.epoch) return false;
  WatchTable& table = watches_.table();
  const std::string_view name = path_text::last_component(dir.path);
  if (watch.parent != parent || watch.name != (parent ? name : dir.path)) {
    if (!host_.found_elsewhere(watch, parent, name, fd, mode)) return false;
    // After lost events nothing is queued to settle a claim: the present decides.
    if (parent) {
      if (Watch* other = table.child(*parent, name); other && other != &watch) {
        watches_.drop_tree(*other, KernelWatch::Remove);
      }
    }
    table.move(watch, parent, parent ? std::string(name) : std::move(dir.path), root);
  } else if (mode != Scan::Resync && (watch.incomplete || watch.is_blocked())) {
    to_complete_.push_back(watch.wd);
  }
  return mode == Scan::Resync;
}

// A directory that no tree has: reported when a scan that reports creations listed it, and
// entered under its parent.
Watch& TreeWalk::newly_watched(Watch* watch, int wd, Watch* parent, PendingDirectory& dir,
                               std::uint32_t root, Scan mode, EventBatch& out) {
  announce(dir, out);
  const std::string_view name = path_text::last_component(dir.path);
  if (!watch) {
    watch = &watches_.new_watch(wd, parent ? std::string(name) : std::move(dir.path));
  } else {
    watches_.table().rename(*watch, parent ? std::string(name) : std::move(dir.path));
  }
  watch->root = root;
  if (parent) adopt(*parent, *watch, mode);
  return *watch;
}

// Lists a directory just watched (or found again by a resync), keeping it open while its
// subdirectories are visited.
void TreeWalk::list(Watch& watch, Opened& opened, Scan mode, EventBatch& out) {
  watch.epoch = era_.epoch;
  watch.identity = FileIdentity::of(opened.st);
  watches_.table().set_incomplete(watch, false);  // the scan lists every subdirectory
  if (mode == Scan::Resync && watch.extras) watch.extras->symlinks.clear();
  const Scan scan_mode =
      opened.dated ? date_directory(watch, opened.have_status ? &opened.status : nullptr, out)
                   : mode;
  if (scan_mode == Scan::ReportCreated) host_.note_listed(watch.wd);
  const std::size_t found = scan(watch, opened.fd.get(), scan_mode, opened.subdirectories, out);
  if (found > 0 && frames_.size() < kMaxOpenDirectories) {
    const auto frame = static_cast<std::uint32_t>(frames_.size());
    for (std::size_t i = pending_.size() - found; i < pending_.size(); ++i) {
      pending_[i].frame = frame;
    }
    frames_.push_back(OpenDirectory{std::move(opened.fd), found});
  }
}

// A remote file system mounted here changes with no event on this machine: its mount
// point keeps its watch, so that its place follows renames, and what it holds is polled.
bool TreeWalk::polls_mount(Watch& watch, const Watch& parent, const Opened& opened, Scan mode,
                           EventBatch& out) {
  if (opened.st.st_dev == parent.identity.device && !remote_paths_named()) return false;
  const Observation why = mount_observer(watches_.table().path(watch), opened.fd.get());
  if (why.observer == Observer::Inotify) return false;
  watch.epoch = era_.epoch;
  watch.identity = FileIdentity::of(opened.st);
  watches_.table().set_incomplete(watch, false);
  host_.start_polling(watch, why, mode, out);
  return true;
}

// A subdirectory listed by a scan that reports creations is reported once it is known not
// to be a watched directory found under a new name.
void TreeWalk::announce(PendingDirectory& dir, EventBatch& out) {
  if (dir.announce == Announce::No) return;
  dir.announce = Announce::No;
  out.add(dir.path, kCreated | kIsDir);
  host_.note_fresh(dir.parent_wd, path_text::last_component(dir.path));
}

TreeWalk::Outcome TreeWalk::fail(PendingDirectory& dir, int error, EventBatch& out) {
  const bool beyond_limit = error == ENOSPC && dir.parent_wd != -1;
  // Polled already, it was reported when it appeared.
  if (beyond_limit && host_.polled_by_name(dir.parent_wd, path_text::last_component(dir.path))) {
    return Outcome::Polled;
  }
  announce(dir, out);
  if (beyond_limit && host_.poll_unwatchable(dir.parent_wd, dir.path, dir.mode, out)) {
    return Outcome::Polled;
  }
  return failed(error, dir.path, out);
}

// A directory that vanished is no failure. Anything else (no permission to read it, the
// watch limit, the descriptor limit) loses events below it: the user is told.
TreeWalk::Outcome TreeWalk::failed(int error, const std::string& path, EventBatch& out) {
  if (vanished(error)) return Outcome::Vanished;
  if (error == ENOSPC && control_) {
    int none = 0;
    control_->resource_error.compare_exchange_strong(none, error, std::memory_order_relaxed);
  }
  out.add(path, kUserDropped);
  return Outcome::Failed;
}

// Reports a subdirectory of a directory moved in by its age (`status` null when it could
// not be had), and says how to scan it.
TreeWalk::Scan TreeWalk::date_directory(Watch& watch, const struct statx* status, EventBatch& out) {
  switch (status ? age(*status) : Age::BornSince) {
    case Age::BornSince:  // and so is everything in it
      out.add(watches_.table().path(watch), kCreated | kIsDir);
      if (watch.parent) host_.note_fresh(watch.parent->wd, watch.name);
      return Scan::ReportCreated;
    case Age::ChangedSince:
      // Making, removing or renaming an entry changes the directory's times too, and the
      // entries tell of that themselves. Its status changed apart from them when its status
      // change time is later than that of its last entry change.
      if (!(status->stx_mask & STATX_MTIME) ||
          nanoseconds(status->stx_ctime) > nanoseconds(status->stx_mtime)) {
        out.add(watches_.table().path(watch), kMetaMod | kIsDir);
      }
      return Scan::MovedIn;
    case Age::Older:
      break;
  }
  return Scan::MovedIn;
}

std::size_t TreeWalk::scan(Watch& dir, int dir_fd, Scan mode, long subdirectories,
                           EventBatch& out) {
  const std::string dir_path = watches_.table().path(dir);
  const bool report = mode == Scan::ReportCreated;
  const bool dated = mode == Scan::MovedIn;
  // Reports need every entry; otherwise the subdirectories are what matters, and once the
  // link count's number of them has been seen, the read that would confirm the end is saved.
  const bool counted = !report && !dated && subdirectories >= 0;
  std::size_t found = 0;
  DirectoryReader::Entry entry;
  while (reader_.next(entry, counted && static_cast<long>(found) == subdirectories)) {
    const unsigned char type = dated && entry.type != DT_DIR
                                   ? date_entry(dir, dir_path, dir_fd, entry, out)
                                   : entry_type(dir_fd, entry);
    if (type == DT_UNKNOWN) continue;
    if (type == DT_DIR) {
      std::string path = path_text::join(dir_path, entry.name);
      if (skips(path)) continue;
      pending_.push_back(PendingDirectory{std::move(path), dir.wd, entry.inode, kNoFrame, mode,
                                          report ? Announce::Yes : Announce::No});
      ++found;
      continue;
    }
    if (type == DT_LNK) remember_symlink(dir, entry.name);
    if (report) {
      out.add(dir_path, entry.name, kCreated | (type == DT_LNK ? kIsSymlink : kIsFile));
      host_.note_fresh(dir.wd, entry.name);
    }
  }
  return found;
}

// Where an entry's times stand against era_.unread_since. An entry that a MovedIn walk finds
// changed after it may have changed after the move, before its directory was watched: no
// event tells of that. One changed before it was either outside the trees then, or its
// change was read as an event. A time the file system does not give counts as recent.
TreeWalk::Age TreeWalk::age(const struct statx& status) const {
  const std::int64_t since = era_.unread_since - kStampMargin;
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
unsigned char TreeWalk::date_entry(const Watch& dir, const std::string& dir_path, int dir_fd,
                                   const DirectoryReader::Entry& entry, EventBatch& out) {
  struct statx status;
  if (::statx(dir_fd, entry.name.data(), AT_SYMLINK_NOFOLLOW, kStatusMask, &status) != 0) {
    if (vanished(errno)) return DT_UNKNOWN;
    // Listed but not to be looked at: taken for new, with the type that the listing gave.
    const unsigned char type =
        entry.type == DT_UNKNOWN ? static_cast<unsigned char>(DT_REG) : entry.type;
    out.add(dir_path, entry.name, kCreated | (type == DT_LNK ? kIsSymlink : kIsFile));
    host_.note_fresh(dir.wd, entry.name);
    return type;
  }
  const unsigned char type = IFTODT(status.stx_mode);
  if (type == DT_DIR) return type;  // dated once visited
  const FSEventStreamEventFlags kind = type_of(status.stx_mode);
  switch (age(status)) {
    case Age::BornSince: {
      const bool linked = S_ISREG(status.stx_mode) && status.stx_nlink > 1;
      out.add(dir_path, entry.name, kCreated | kind | (linked ? kIsHardlink : 0));
      host_.note_fresh(dir.wd, entry.name);
      break;
    }
    case Age::ChangedSince: {
      // Its contents changed, or only its status (permissions, owner, links).
      const bool written = !(status.stx_mask & STATX_MTIME) ||
                           nanoseconds(status.stx_mtime) >= era_.unread_since - kStampMargin;
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
bool TreeWalk::inside(const Watch& parent, int fd, const struct stat& st) {
  if (st.st_dev == parent.identity.device && reader_.parent_inode() == parent.identity.inode) {
    return true;
  }
  struct stat above;
  return ::fstatat(fd, "..", &above, AT_SYMLINK_NOFOLLOW) == 0 &&
         FileIdentity::of(above) == parent.identity;
}

void TreeWalk::complete_pending(EventBatch& out) {
  // The walks below do not complete: what they add to to_complete_ is listed by this loop.
  while (!to_complete_.empty()) {
    const int wd = to_complete_.back();
    to_complete_.pop_back();
    complete(wd, out);
  }
}

// Walks the subdirectories of a watched directory that have no watch, reporting them and
// their contents as created.
void TreeWalk::complete(int wd, EventBatch& out) {
  WatchTable& table = watches_.table();
  Watch* watch = table.find(wd);
  if (!watch || !watch->in_tree() || (!watch->incomplete && !watch->is_blocked())) return;
  const std::string path = table.path(*watch);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    // Gone from this path too: renamed again, and that rename, still queued, brings it
    // back here; or deleted. Anything else keeps it from being listed: the user is told.
    if (!vanished(errno)) {
      table.set_incomplete(*watch, false);
      if (watch->extras) watch->extras->blocked.clear();
      out.add(path, kUserDropped);
    }
    return;
  }
  // Another directory may have taken the path meanwhile: the same wait applies.
  if (!opened_as(fd.get(), watch->identity)) return;
  table.set_incomplete(*watch, false);
  // Subdirectories that failed were reported when they appeared; now only their contents.
  NameSet blocked;
  if (watch->extras) blocked.swap(watch->extras->blocked);
  const std::uint32_t root = watch->root;
  const std::vector<std::string> unwatched = unwatched_subdirectories(*watch, fd.get(), path);
  for (const std::string& subdirectory : unwatched) {
    const bool reported = blocked.contains(path_text::last_component(subdirectory));
    walk_tree(subdirectory, wd, root, Scan::ReportCreated, out,
              reported ? Announce::No : Announce::Yes);
  }
}

/// The paths of the subdirectories of `watch`, open as `fd` at `path`, that have no watch.
std::vector<std::string> TreeWalk::unwatched_subdirectories(const Watch& watch, int fd,
                                                            const std::string& path) {
  std::vector<std::string> unwatched;
  reader_.open(fd);
  DirectoryReader::Entry entry;
  while (reader_.next(entry)) {
    if (entry_type(fd, entry) == DT_DIR && !watches_.table().child(watch, entry.name)) {
      unwatched.push_back(path_text::join(path, entry.name));
    }
  }
  return unwatched;
}

// A watched directory still under the name that a walk finds another directory under has
// left it, and the record of that is still queued (after lost records, there is none).
void TreeWalk::adopt(Watch& parent, Watch& child, Scan mode) {
  if (Watch* stale = watches_.table().child(parent, child.name); stale && stale != &child) {
    if (mode == Scan::Resync) {
      watches_.drop_tree(*stale, KernelWatch::Remove);
    } else {
      host_.displace(*stale, parent.wd);
    }
  }
  watches_.table().link(parent, child);
}

}  // namespace vestra::platform
