// Renames in the watched trees: pairing the halves, claims that walks leave for the queue
// to settle, exchanges, and names that a walk reported before their events were read.
//
// The watch table follows the queue: it changes only when the record that changes it is
// read, so that each record gets the path its directory had when the change happened. A walk
// sees the present, ahead of the queue; what it finds about a directory that is already
// watched becomes a claim instead of a move, and the rename, once read, settles it.
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/linux/path_text.h"
#include "platform/linux/record_flags.h"
#include "platform/linux/tree_watcher.h"

namespace vestra::platform {

using namespace record_flags;

namespace {

/// The sides of a rename, as records are marked with them (see EventBatch::mark_rename).
constexpr unsigned kOldName = 1;
constexpr unsigned kNewName = 2;
/// Exchanges whose second rename is still to be read, at most (two entries each).
constexpr std::size_t kExchangeEntries = 32;
/// What is parked for a directory that has no watch.
constexpr int kNoWatch = -1;

/// Whether anything is at `path`. After a rename, something at the old name may be what an
/// exchange put there; nothing there means no exchange, or one whose records are all queued
/// already (the kernel queues both renames before the call returns).
bool occupied(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

/// Whether `path` names the directory that `watch` stands for.
bool names(const std::string& path, const Watch& watch) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && FileIdentity::of(st) == watch.identity;
}

}  // namespace

bool TreeWatcher::exchanging(std::uint32_t cookie, unsigned part) const {
  return std::any_of(exchanges_.begin(), exchanges_.end(), [&](const auto& entry) {
    return entry.first == cookie && (part == 0 || entry.second == part);
  });
}

void TreeWatcher::remember_exchange(std::uint32_t first, std::uint32_t second, EventBatch& out) {
  // Seen already, from the queue's shape and from a parked directory.
  if (exchanging(first)) return;
  // An exchange whose halves never came (dropped with their watches) is forgotten in time.
  if (exchanges_.size() >= kExchangeEntries)
    exchanges_.erase(exchanges_.begin(), exchanges_.begin() + 2);
  exchanges_.emplace_back(first, 1);
  exchanges_.emplace_back(second, 2);
  // The old half of the first rename, when reported, is in the batch already.
  out.mark_exchange(first, 1);
}

void TreeWatcher::mark_rename(std::uint32_t cookie, unsigned side, EventBatch& out) {
  out.mark_rename(cookie, side);
  const auto exchange = std::find_if(exchanges_.begin(), exchanges_.end(),
                                     [&](const auto& entry) { return entry.first == cookie; });
  if (exchange == exchanges_.end()) return;
  out.mark_exchange(cookie, exchange->second);
  if (side == kNewName) exchanges_.erase(exchange);
}

// The kernel queues an exchange as two renames back to back, the second from the first's new
// name to its old one, whatever the two are (files, directories, one of each); for files
// nothing else tells it apart. Seen so, the pair is marked as an exchange.
void TreeWatcher::note_exchange(const Watch& dir, std::string_view name, std::uint32_t cookie,
                                bool may_exchange, EventBatch& out) {
  if (cookie == 0) return;
  const std::optional<InotifyRecord> destination = queue_.find_moved_to(cookie);
  if (!destination) return;
  const std::optional<InotifyRecord> next = queue_.after_rename(cookie, may_exchange);
  if (!next || !(next->mask & IN_MOVED_FROM) || next->wd != destination->wd ||
      next->name != destination->name || next->cookie == 0) {
    return;
  }
  // Its old half is here, so its new half comes, perhaps a moment after.
  const std::optional<InotifyRecord> back = queue_.find_moved_to(next->cookie, true);
  if (!back || back->wd != dir.wd || back->name != name) return;
  remember_exchange(cookie, next->cookie, out);
}

void TreeWatcher::on_moved_from(Watch& dir, std::string_view name, bool is_dir,
                                std::uint32_t cookie, EventBatch& out) {
  // A name never reported has no old half: the new one then tells of something moved in.
  const bool known = book_.reported_since_walk(dir.wd, name);
  const bool may_exchange = occupied(path_text::join(watches_.path(dir), name));
  if (!is_dir) {
    const FSEventStreamEventFlags type = forget_symlink(dir, name) ? kIsSymlink : kIsFile;
    book_.remember_move(cookie, MoveKind::Item, type);
    if (known) {
      out.add(watches_.cached_path(dir), name, kRenamed | type);
      mark_rename(cookie, kOldName, out);
      note_exchange(dir, name, cookie, may_exchange, out);
    }
    return;
  }
  if (known) {
    out.add(watches_.cached_path(dir), name, kRenamed | kIsDir);
    mark_rename(cookie, kOldName, out);
    note_exchange(dir, name, cookie, may_exchange, out);
  }
  const std::optional<Watch*> parked = take_parked(dir, name);
  const bool exchanged = parked.has_value();
  Watch* moved = parked ? *parked : watches_.child(dir, name);
  const std::optional<InotifyRecord> destination = queue_.find_moved_to(cookie);
  Watch* target = destination ? watches_.find(destination->wd) : nullptr;
  if (target && !target->in_tree()) target = nullptr;
  if (!moved) {
    // Polled by name for want of a watch: polled on where it goes in the trees, which the
    // walk of its new name then finds.
    if (target) {
      subtrees_.move(dir.wd, name, target->wd, destination->name);
    } else {
      subtrees_.forget(dir.wd, name);
    }
    book_.remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
    return;
  }
  const std::string_view target_name = destination ? destination->name : std::string_view();
  // A parked directory moves with the second half of its exchange, and its IN_MOVE_SELF
  // follows. When it does not, a walk had watched it under that name ahead of the queue,
  // and the directory that moved has no watch.
  const MoveCheck check = !exchanged ? check_move(dir, name, *moved, cookie, target, target_name)
                          : queue_.move_self_follows(moved->wd, cookie) ? MoveCheck::Moved
                                                                        : MoveCheck::Elsewhere;
  switch (check) {
    case MoveCheck::Stayed:
      // The name belongs to a directory that took it after this rename: the one that moved
      // is not known here.
      book_.remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
      return;
    case MoveCheck::Elsewhere:
      // Neither here nor at the destination: its own queued events find it again.
      watches_.drop_tree(*moved, KernelWatch::Remove);
      book_.remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
      return;
    case MoveCheck::Moved:
      break;
  }
  if (!target) {
    // Moved out of every tree, unless a walk found it inside under another name.
    if (!settle_claim(*moved, cookie, out)) watches_.drop_tree(*moved, KernelWatch::Remove);
    return;
  }
  carry(*moved, cookie, *target, target_name, may_exchange, out);
  book_.remember_move(cookie, MoveKind::DirectoryCarried, kIsDir);
}

// Moves the watches of a renamed directory within the trees. What the new name held is
// dropped, unless the rename was an exchange: then it is parked until its own half is read.
// The kernel queues an exchange as two renames back to back, the second from the first's
// new name to its old one.
void TreeWatcher::carry(Watch& moved, std::uint32_t cookie, Watch& target,
                        std::string_view target_name, bool may_exchange, EventBatch& out) {
  Watch* replaced = watches_.child(target, target_name);
  // Exchanged with a directory that has no watch (known from the queue's shape): it is
  // parked as none, so that its own half does not take the watch moved here for itself.
  if (replaced != &moved && (replaced || exchanging(cookie, 1))) {
    const std::optional<InotifyRecord> next = queue_.after_rename(cookie, may_exchange);
    if (next && next->wd == target.wd && (next->mask & IN_MOVED_FROM) && (next->mask & IN_ISDIR) &&
        next->name == target_name) {
      if (replaced) {
        park(*replaced, target.wd, Parking::Exchange);
      } else {
        book_.park(kNoWatch, target.wd, std::string(target_name), Parking::Exchange);
      }
      remember_exchange(cookie, next->cookie, out);
    } else if (replaced) {
      watches_.drop_tree(*replaced, KernelWatch::Remove);
    }
  }
  book_.moved_to(moved.wd, target.wd, target_name);
  // Subdirectories that a walk lost to this very rename are found under the new path once
  // the new half is reported.
  watches_.move(moved, &target, std::string(target_name), target.root, &walk_.to_complete());
}

// Takes `watch` off its name in `parent_wd`, keeping what lies below it.
void TreeWatcher::park(Watch& watch, int parent_wd, Parking why) {
  std::string name = watch.name;
  watches_.unlink(watch);
  book_.park(watch.wd, parent_wd, std::move(name), why);
}

// The directory parked from `name` in `dir`, whose own record is the one being read: none
// when nothing was parked there, a null one when what was parked has no watch.
std::optional<Watch*> TreeWatcher::take_parked(const Watch& dir, std::string_view name) {
  const std::optional<int> parked = book_.take_parked(dir.wd, name);
  if (!parked) return std::nullopt;
  Watch* watch = watches_.find(*parked);
  return watch && watch->in_tree() ? watch : nullptr;
}

void TreeWatcher::drop_parked() {
  for (const int wd : book_.reset()) {
    if (Watch* watch = watches_.find(wd); watch && watch->in_tree()) {
      watches_.drop_tree(*watch, KernelWatch::Remove);
    }
  }
}

// Whether the rename with `cookie` moved `candidate`, the watched directory that the table
// has under the rename's old name. Renaming a watched directory queues IN_MOVE_SELF on its
// own watch right after the two halves; only when that is not in sight do the paths decide.
TreeWatcher::MoveCheck TreeWatcher::check_move(const Watch& dir, std::string_view name,
                                               const Watch& candidate, std::uint32_t cookie,
                                               const Watch* target, std::string_view target_name) {
  if (queue_.move_self_follows(candidate.wd, cookie)) return MoveCheck::Moved;
  if (names(path_text::join(watches_.path(dir), name), candidate)) return MoveCheck::Stayed;
  if (target && names(path_text::join(watches_.path(*target), target_name), candidate)) {
    return MoveCheck::Moved;
  }
  return MoveCheck::Elsewhere;
}

// An exchange with something no watch sees queues the arrival at a name right before the
// departure of what held it, both lone halves. Read in that order, the departure would seem
// to take the new arrival away: it is handled first, as if the kernel had queued the two the
// other way. A rename onto the name and then one away from it queue the same two records but
// leave the name free, unless something took it since, whose own records then report it;
// and when the two differ in type, it was an exchange (a rename cannot put a directory over a
// file, nor a file over a directory).
void TreeWatcher::depart_first(const Watch& dir, std::string_view name, bool is_dir,
                               std::uint32_t cookie, EventBatch& out) {
  if (book_.recall_move(cookie)) return;  // it came from a watched name: a rename in the trees
  // The arrival's own IN_MOVE_SELF, when it has a watch, may come between the two.
  const std::optional<InotifyRecord> next = queue_.peek_past_move_self();
  if (!next || next->wd != dir.wd || !(next->mask & IN_MOVED_FROM) || next->name != name ||
      next->cookie == 0 || next->cookie == cookie) {
    return;
  }
  const bool same_type = static_cast<bool>(next->mask & IN_ISDIR) == is_dir;
  if (same_type && !occupied(path_text::join(watches_.path(dir), name))) return;
  // A departure to a watched name is a rename in the trees (of an exchange, perhaps); a
  // watch given up already sees nothing.
  if (const auto destination = queue_.find_moved_to(next->cookie, true)) {
    const Watch* target = watches_.find(destination->wd);
    if (target && target->in_tree()) return;
  }
  queue_.take_peeked();
  handle(*next, out);
}

void TreeWatcher::on_moved_to(Watch& dir, std::string_view name, bool is_dir, std::uint32_t cookie,
                              EventBatch& out) {
  depart_first(dir, name, is_dir, cookie, out);
  book_.take_fresh(dir.wd, name);
  book_.note_created(dir.wd, name);
  const RenameBook::MoveNote* note = book_.recall_move(cookie);
  if (!is_dir) {
    FSEventStreamEventFlags type = kIsFile;
    if (note && note->kind == MoveKind::Item) {
      type = note->type;
    } else {
      struct stat st;
      if (::lstat(path_text::join(watches_.path(dir), name).c_str(), &st) == 0 &&
          S_ISLNK(st.st_mode)) {
        type = kIsSymlink;
      }
    }
    if (type == kIsSymlink) {
      remember_symlink(dir, name);
    } else {
      forget_symlink(dir, name);
    }
    out.add(watches_.cached_path(dir), name, kRenamed | type);
    mark_rename(cookie, kNewName, out);
    return;
  }
  out.add(watches_.cached_path(dir), name, kRenamed | kIsDir);
  mark_rename(cookie, kNewName, out);
  if (note && note->kind == MoveKind::DirectoryCarried) {
    // Between the halves of an exchange, listings would split it: they wait for the second.
    if (!book_.exchanging()) walk_.complete_pending(out);
    return;
  }
  // A directory that was inside but never watched (it was renamed before its creation was
  // read) has contents nobody reported. One from outside the trees, or moved out and back
  // before either rename was read, is watched as it is; what changed in it after the last
  // events read may have changed after the move, before its watches: that is reported.
  const Scan mode =
      note && note->kind == MoveKind::DirectoryUnwatched ? Scan::ReportCreated : Scan::MovedIn;
  if (!listable_now(dir, name)) return;
  walk_.walk(path_text::join(watches_.path(dir), name), dir.wd, dir.root, mode, out);
}

// A watched directory that a walk finds in `parent` under `name`: a second path to it
// through a mount, the walk's own ancestor, or a directory renamed while the rename is still
// queued. Returns true when the caller should move it (a resync, which has nothing queued
// to wait for); otherwise it stays where the queue has it, with a claim on the new place.
bool TreeWatcher::found_elsewhere(Watch& watch, Watch* parent, std::string_view name, int fd,
                                  Scan mode) {
  if (!parent) return mode == Scan::Resync;
  struct stat by_fd;
  if ((watch.parent != parent || watch.name != name) && ::fstat(fd, &by_fd) == 0 &&
      names(watches_.path(watch), watch) && FileIdentity::of(by_fd) == watch.identity) {
    return false;  // its old path still leads to it
  }
  for (Watch* above = parent; above; above = above->parent) {
    if (above == &watch) return false;
  }
  if (mode == Scan::Resync) return true;
  book_.claim(watch.wd, parent->wd, std::string(name));
  return false;
}

// A lone IN_MOVED_FROM of a watched directory that a walk found inside the trees: the
// directory left for the claimed place, which had no watch then to report its arrival. On
// its way it may have passed through names that no watch saw, and its records queued since
// may have happened under any of them: no path can be given to those. So its watches go,
// with the records still queued for them, and the claimed place is reported as created
// with what it holds now, and watched afresh.
bool TreeWatcher::settle_claim(Watch& moved, std::uint32_t cookie, EventBatch& out) {
  const std::optional<RenameBook::Claim> claim = book_.take_claim(moved.wd);
  if (!claim) return false;
  Watch* parent = watches_.find(claim->parent_wd);
  if (!parent || !parent->in_tree()) return false;
  for (Watch* above = parent; above; above = above->parent) {
    if (above == &moved) return false;
  }
  std::string path = path_text::join(watches_.path(*parent), claim->name);
  if (Watch* other = watches_.child(*parent, claim->name); other && other != &moved) {
    watches_.drop_tree(*other, KernelWatch::Remove);
  }
  if (!names(path, moved)) {
    // It has left the claimed place as well, and that rename, read later, tells where to.
    // Here it is the new half of the rename being read, and reported there: so is the
    // rename that takes it away.
    out.add(path, kRenamed | kIsDir);
    mark_rename(cookie, kNewName, out);
    book_.take_fresh(claim->parent_wd, claim->name);
    book_.note_created(claim->parent_wd, claim->name);
    watches_.move(moved, parent, claim->name, parent->root, &walk_.to_complete());
    walk_.complete_pending(out);
    return true;
  }
  const std::uint32_t root = parent->root;
  watches_.drop_tree(moved, KernelWatch::Remove);
  out.add(path, kCreated | kIsDir);
  note_fresh(claim->parent_wd, claim->name);
  walk_.walk(std::move(path), claim->parent_wd, root, Scan::ReportCreated, out);
  return true;
}

void TreeWatcher::note_fresh(int wd, std::string_view name) {
  book_.note_fresh(wd, name, queue_.reads());
}

void TreeWatcher::note_listed(int wd) {
  book_.note_listed(wd, queue_.reads());
}

// A subdirectory whose attributes changed may have become readable: one that could not be
// watched is watched now, and what could not be listed in one is listed, all reported as
// created.
void TreeWatcher::retry_blocked(Watch& dir, std::string_view name, EventBatch& out) {
  Watch* child = watches_.child(dir, name);
  if (!child) {
    walk_.walk(path_text::join(watches_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated,
               out);
  } else if (child->is_blocked()) {
    walk_.to_complete().push_back(child->wd);
    walk_.complete_pending(out);
  }
}

}  // namespace vestra::platform
