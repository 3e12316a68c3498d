#include "platform/linux/tree_watcher.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "platform/linux/path_text.h"
#include "platform/linux/record_flags.h"
#include "platform/linux/rename_barrier.h"

namespace vestra::platform {

using namespace record_flags;

std::unique_ptr<TreeWatcher> TreeWatcher::open(const std::vector<std::string>& paths,
                                               std::size_t max_watches,
                                               std::atomic<std::size_t>& watch_count,
                                               FileDescriptor records) {
  FileDescriptor inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid()) return nullptr;
  return std::unique_ptr<TreeWatcher>(
      new TreeWatcher(std::move(inotify), std::move(records), paths, max_watches, watch_count));
}

TreeWatcher::TreeWatcher(FileDescriptor inotify, FileDescriptor records,
                         const std::vector<std::string>& paths, std::size_t max_watches,
                         std::atomic<std::size_t>& watch_count)
    : inotify_(records.valid() ? std::move(inotify) : FileDescriptor()),
      queue_(records.valid() ? std::move(records) : std::move(inotify)),
      watches_(kernel(), max_watches, watch_count, *this),
      walk_(watches_, *this),
      paths_(paths, watches_, walk_) {
  // Records fed by hand come from no rename that a lock could wait out.
  if (!inotify_.valid()) {
    queue_.set_rename_barrier([this](int wd) {
      const Watch* dir = watches_.find(wd);
      return dir && !dir->polled && pass_rename_barrier(watches_.path(*dir), dir->identity);
    });
  }
}

TreeWatcher::~TreeWatcher() = default;

int TreeWatcher::kernel() const noexcept {
  return inotify_.valid() ? inotify_.get() : queue_.fd();
}

void TreeWatcher::start(EventBatch& out) {
  // Every event comes from a watch added from now on.
  queue_.mark_drained();
  update_era();
  paths_.start(out);
  watches_.prune();
  watches_.end_record();
  started_ = true;
}

void TreeWatcher::poll(EventBatch& out) {
  // One polled for want of a watch that a walk watched since is inotify's again.
  const std::size_t before = subtrees_.subtrees().size();
  subtrees_.forget_if([&](const PolledSubtrees::Place& place) {
    if (place.wd != -1) return false;
    const Watch* parent = watches_.find(place.parent_wd);
    return parent && watches_.child(*parent, place.name) != nullptr;
  });
  if (subtrees_.subtrees().size() != before) ++polling_changes_;
  subtrees_.poll(
      [&](const PolledSubtrees::Place& place) -> std::string {
        if (place.wd != -1) {
          const Watch* watch = watches_.find(place.wd);
          return watch && watch->in_tree() ? watches_.path(*watch) : std::string();
        }
        const Watch* parent = watches_.find(place.parent_wd);
        return parent && parent->in_tree() ? path_text::join(watches_.path(*parent), place.name)
                                           : std::string();
      },
      out);
}

std::vector<std::pair<std::string, Observation>> TreeWatcher::polled_subtrees() {
  std::vector<std::pair<std::string, Observation>> found;
  for (const PolledSubtrees::Subtree& subtree : subtrees_.subtrees()) {
    const PolledSubtrees::Place& place = subtree.place;
    const Watch* watch = watches_.find(place.wd != -1 ? place.wd : place.parent_wd);
    if (!watch || !watch->in_tree()) continue;
    std::string path = watches_.path(*watch);
    if (place.wd == -1) path = path_text::join(path, place.name);
    found.emplace_back(std::move(path), subtree.why);
  }
  return found;
}

void TreeWatcher::start_polling(Watch& watch, Observation why, Scan mode, EventBatch& out) {
  watch.polled = true;
  const bool report = mode == Scan::ReportCreated || mode == Scan::MovedIn;
  subtrees_.add({watch.wd, -1, {}}, why, watches_.path(watch), report ? &out : nullptr);
  ++polling_changes_;
}

// Past the start, a directory that the watch limit leaves without a watch is polled. The
// first of them brings the notice that the limit was reached; a limit hit during the start
// polls the whole trees instead (see the stream).
bool TreeWatcher::poll_unwatchable(int parent_wd, const std::string& path, Scan mode,
                                   EventBatch& out) {
  if (!started_) return false;
  const std::string_view name = path_text::last_component(path);
  if (!limit_noticed_) {
    limit_noticed_ = true;
    out.add(path, kUserDropped);
  }
  const bool report = mode == Scan::ReportCreated || mode == Scan::MovedIn;
  subtrees_.add({-1, parent_wd, std::string(name)}, {Observer::PollNoWatch, {}}, path,
                report ? &out : nullptr);
  ++polling_changes_;
  return true;
}

int TreeWatcher::watch_of(std::string_view path) {
  int found = -1;
  watches_.for_each([&](Watch& watch) {
    if (watches_.path(watch) == path) found = watch.wd;
  });
  return found;
}

// ---------------------------------------------------------------------------------------
// Reading

std::optional<std::chrono::milliseconds> TreeWatcher::read(EventBatch& out) {
  if (queue_.fill()) {
    while (const auto record = queue_.next()) {
      handle(*record, out);
      settle_orphaned_claims(out);
      watches_.prune();
      watches_.end_record();
    }
  }
  queue_.finish();
  forget_entry_directory();
  update_era();
  book_.end_batch(queue_.drained_read());
  return std::exchange(requested_delay_, std::nullopt);
}

// ---------------------------------------------------------------------------------------
// Translation

void TreeWatcher::handle(const InotifyRecord& event, EventBatch& out) {
  if (event.mask & IN_Q_OVERFLOW) {
    on_overflow(out);
    return;
  }
  Watch* watch = watches_.find(event.wd);
  if (!watch) return;  // a watch already given up; its last events are still queued
  if (event.mask & IN_IGNORED) {
    on_ignored(*watch, out);
    return;
  }
  if (event.mask & IN_UNMOUNT) {
    on_unmount(*watch, out);
    return;
  }
  if (watch->item_root() != kNoRoot) {
    paths_.on_item_root_event(*watch, event.mask, out);
    return;
  }
  if (watch->ancestor_count() > 0 && (event.mask & (IN_MOVE_SELF | IN_DELETE_SELF))) {
    paths_.on_ancestor_gone(event.wd, out);
    watch = watches_.find(event.wd);
    if (!watch) return;
  }
  const int wd = event.wd;
  const bool anchor = watch->anchor_count() > 0;
  if (watch->in_tree()) on_tree_event(*watch, event, out);
  if (anchor) paths_.on_anchor_event(wd, event.mask, event.name, out);
}

void TreeWatcher::on_tree_event(Watch& dir, const InotifyRecord& record, EventBatch& out) {
  const std::uint32_t mask = record.mask;
  const std::string_view name = record.name;
  // Changes made through this machine come with the polls too.
  if (dir.polled) return;
  if (name.empty()) {
    // A directory's own attribute change, deletion and move reach its parent's watch as
    // well, under its name; only the top of a tree has no parent to report them.
    if (!dir.parent) paths_.on_root_self_event(dir, mask, out);
    return;
  }
  const bool is_dir = mask & IN_ISDIR;
  switch (mask & kChangeMask) {
    case IN_CREATE:
      on_created(dir, name, is_dir, out);
      break;
    case IN_MODIFY:
      out.add(watches_.cached_path(dir), name, kModified | kIsFile);
      break;
    case IN_ATTRIB:
      out.add(watches_.cached_path(dir), name,
              kMetaMod | (is_dir ? kIsDir : known_type(dir, name)));
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

// A new directory is listed (and watched) where the queue has it, unless a record read after
// this one puts something else at that name: what is there now came later. The directory
// this record is about has left the name by then, and is listed where it went, if anywhere.
// Without such a record, the name holds this directory or nothing.
bool TreeWatcher::listable_now(const Watch& dir, std::string_view name) {
  return !queue_.arrives_later(dir.wd, name);
}

void TreeWatcher::on_created(Watch& dir, std::string_view name, bool is_dir, EventBatch& out) {
  if (book_.take_fresh(dir.wd, name)) {
    // Queued before the walk that listed it, and reported by that walk.
    if (is_dir && !watches_.child(dir, name) && listable_now(dir, name)) {
      walk_.walk(path_text::join(watches_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated,
                 out);
    }
    return;
  }
  book_.note_created(dir.wd, name);
  if (is_dir) {
    out.add(watches_.cached_path(dir), name, kCreated | kIsDir);
    if (!listable_now(dir, name)) return;
    walk_.walk(path_text::join(watches_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated,
               out);
    return;
  }
  // The hot path of a burst of creations: the path is built in storage kept for it.
  std::string& path = entry_path_;
  path.assign(watches_.cached_path(dir));
  const int dir_fd = entry_directory(dir, path);
  path_text::append(path, name);
  FSEventStreamEventFlags flags = kCreated | kIsFile;
  struct stat st;
  const char* entry = path.c_str() + (path.size() - name.size());  // the name, at the end
  if ((dir_fd >= 0 ? ::fstatat(dir_fd, entry, &st, AT_SYMLINK_NOFOLLOW)
                   : ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW)) == 0) {
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

// The directory itself, as the record names it (its path may be out of date), from its
// second new entry in a read on: a lone creation is looked up by its path, which costs one
// call instead of three. -1 when the path does not open as the watched directory.
int TreeWatcher::entry_directory(const Watch& dir, const std::string& path) {
  if (entry_dir_wd_ != dir.wd) {
    entry_dir_wd_ = dir.wd;
    entry_dir_.reset();
    return -1;
  }
  if (entry_dir_.valid()) return entry_dir_.get();
  entry_dir_.reset(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!opened_as(entry_dir_.get(), dir.identity)) {
    forget_entry_directory();  // and again at the next entry, which may find it where it went
    return -1;
  }
  return entry_dir_.get();
}

void TreeWatcher::forget_entry_directory() noexcept {
  entry_dir_wd_ = -1;
  entry_dir_.reset();
}

void TreeWatcher::on_deleted(Watch& dir, std::string_view name, bool is_dir, EventBatch& out) {
  if (!book_.reported_since_walk(dir.wd, name)) {
    forget_symlink(dir, name);
    return;
  }
  if (is_dir) {
    subtrees_.forget(dir.wd, name);
    out.add(watches_.cached_path(dir), name, kRemoved | kIsDir);
    // A directory parked from this name is older there than the one linked now.
    const std::optional<Watch*> parked = take_parked(dir, name);
    Watch* gone = parked ? *parked : watches_.child(dir, name);
    if (gone) watches_.drop_tree(*gone, KernelWatch::Remove);
    return;
  }
  out.add(watches_.cached_path(dir), name,
          kRemoved | (forget_symlink(dir, name) ? kIsSymlink : kIsFile));
}

// Every watch on an unmounted file system gets its own IN_UNMOUNT, in no useful order. Only
// the topmost watched directory of that file system is reported: the one whose parent is on
// another.
void TreeWatcher::on_unmount(Watch& watch, EventBatch& out) {
  if (watch.item_root() != kNoRoot) {
    out.add(paths_.path(watch.item_root()), kFSEventStreamEventFlagUnmount);
  } else if (watch.in_tree()) {
    watch.unmounted = true;
    if (!watch.parent || watch.parent->identity.device != watch.identity.device) {
      out.add(watches_.path(watch), kFSEventStreamEventFlagUnmount);
    }
  }
}

void TreeWatcher::on_ignored(Watch& watch, EventBatch& out) {
  // The kernel has dropped this watch (deletion, unmount): every role it played ends. Each
  // step may forget the watch; it stays valid until the record is done.
  const int wd = watch.wd;
  if (watch.item_root() != kNoRoot) {
    paths_.renew(watch.item_root(), KernelWatch::AlreadyGone, Report::No, out);
  }
  if (!watch.forgotten && watch.in_tree()) on_tree_ignored(watch, out);
  if (!watch.forgotten && watch.anchor_count() > 0) paths_.on_anchor_ignored(wd, out);
  if (!watch.forgotten) watches_.remove_watch(wd, KernelWatch::AlreadyGone);
}

void TreeWatcher::on_tree_ignored(Watch& watch, EventBatch& out) {
  const std::uint32_t index = watch.root;
  if (!watch.parent && paths_.is_tree_top(index, watch.wd)) {
    // After an unmount, what the path shows now is new to the consumer.
    paths_.renew(index, KernelWatch::AlreadyGone, watch.unmounted ? Report::Yes : Report::No, out);
  } else if (watch.unmounted && watch.parent &&
             watch.parent->identity.device != watch.identity.device) {
    // A mount point: the directory beneath the file system that went away shows again, and
    // what it holds is new to the consumer.
    const int parent_wd = watch.parent->wd;
    std::string path = watches_.path(watch);
    const std::string name = watch.name;
    watches_.drop_tree(watch, KernelWatch::Remove);
    out.add(path, kCreated | kIsDir);
    note_fresh(parent_wd, name);
    walk_.walk(std::move(path), parent_wd, index, Scan::ReportCreated, out);
  } else {
    watches_.drop_tree(watch, KernelWatch::Remove);
  }
}

void TreeWatcher::on_overflow(EventBatch& out) {
  for (std::uint32_t index = 0; index < paths_.size(); ++index) {
    out.add(paths_.path(index), kKernelDropped);
  }
  const auto delay = backoff_.on_overflow(OverflowBackoff::Clock::now());
  if (!delay) return;  // the resync that is due already covers this one
  if (*delay == std::chrono::milliseconds::zero()) {
    resync(out);
  } else {
    requested_delay_ = delay;
  }
}

void TreeWatcher::resync(EventBatch& out) {
  backoff_.on_resync();
  ++resyncs_;
  ++epoch_;
  update_era();
  drop_parked();
  paths_.rewalk_trees(out);
  drop_unfound();
  paths_.renew_all_but_trees(out);
  orphaned_claims_.clear();  // the walks found every directory where it is now
  watches_.prune();
  watches_.end_record();
}

// Whatever the walks of a resync did not find again has gone.
void TreeWatcher::drop_unfound() {
  std::vector<int> stale;
  watches_.for_each([&](Watch& watch) {
    if (watch.in_tree() && watch.epoch != epoch_) stale.push_back(watch.wd);
  });
  for (const int wd : stale) {
    if (Watch* watch = watches_.find(wd); watch && watch->in_tree()) {
      watches_.drop_tree(*watch, KernelWatch::Remove);
    }
  }
}

void TreeWatcher::on_watch_removed(int wd) {
  if (wd == entry_dir_wd_) forget_entry_directory();
  if (!subtrees_.empty()) {
    const std::size_t before = subtrees_.subtrees().size();
    subtrees_.forget(wd);
    if (subtrees_.subtrees().size() != before) ++polling_changes_;
  }
  if (std::optional<RenameBook::Claim> claim = book_.take_claim(wd)) {
    orphaned_claims_.push_back(std::move(*claim));
  }
  book_.forget(wd);
}

// A directory that a walk found at a new place, while its rename was still queued, can go
// with a tree it was in before (that tree moved out, or was replaced): its own queued records
// went with the tree's watches, and nothing would bring it back where it is now. Like a claim
// settled by a lone old half, the place is reported as created, with what it holds now, and
// watched afresh.
void TreeWatcher::settle_orphaned_claims(EventBatch& out) {
  while (!orphaned_claims_.empty()) {
    const RenameBook::Claim claim = std::move(orphaned_claims_.back());
    orphaned_claims_.pop_back();
    Watch* parent = watches_.find(claim.parent_wd);
    if (!parent || !parent->in_tree() || watches_.child(*parent, claim.name)) continue;
    std::string path = path_text::join(watches_.path(*parent), claim.name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::uint32_t root = parent->root;
    out.add(path, kCreated | kIsDir);
    note_fresh(claim.parent_wd, claim.name);
    walk_.walk(std::move(path), claim.parent_wd, root, Scan::ReportCreated, out);
  }
}

void TreeWatcher::displace(Watch& stale, int parent_wd) {
  park(stale, parent_wd, Parking::Displaced);
}

}  // namespace vestra::platform
