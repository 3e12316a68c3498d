// Renames in the watched trees: pairing the halves, claims that walks leave for the queue
// to settle, exchanges, and names that a walk reported before their events were read.
//
// The watch table follows the queue: it changes only when the record that changes it is
// read, so that each record gets the path its directory had when the change happened. A walk
// sees the present, ahead of the queue; what it finds about a directory that is already
// watched becomes a claim instead of a move, and the rename, once read, settles it.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

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

/// Whether `path` names the directory that `watch` stands for.
bool names(const std::string& path, const Watch& watch) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && FileIdentity::of(st) == watch.identity;
}

}  // namespace

void TreeWatcher::remember_exchange(std::uint32_t first, std::uint32_t second, EventBatch& out) {
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

// The kernel queues an exchange of two files as two renames back to back, the second from
// the first's new name to its old one; nothing else tells it apart. Seen so, the pair is
// marked as an exchange.
void TreeWatcher::note_file_exchange(const Watch& dir, std::string_view name, std::uint32_t cookie,
                                     EventBatch& out) {
  if (cookie == 0) return;
  const std::optional<InotifyRecord> destination = queue_.find_moved_to(cookie);
  if (!destination) return;
  const std::optional<InotifyRecord> next = queue_.after_rename(cookie);
  if (!next || !(next->mask & IN_MOVED_FROM) || (next->mask & IN_ISDIR) ||
      next->wd != destination->wd || next->name != destination->name || next->cookie == 0) {
    return;
  }
  const std::optional<InotifyRecord> back = queue_.find_moved_to(next->cookie);
  if (!back || back->wd != dir.wd || back->name != name) return;
  remember_exchange(cookie, next->cookie, out);
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

void TreeWatcher::on_moved_from(Watch& dir, std::string_view name, bool is_dir,
                                std::uint32_t cookie, EventBatch& out) {
  // A name never reported has no old half: the new one then tells of something moved in.
  const bool known = reported_since_walk(dir.wd, name);
  if (!is_dir) {
    const FSEventStreamEventFlags type = forget_symlink(dir, name) ? kIsSymlink : kIsFile;
    remember_move(cookie, MoveKind::Item, type);
    if (known) {
      out.add(table_.cached_path(dir), name, kRenamed | type);
      mark_rename(cookie, kOldName, out);
      note_file_exchange(dir, name, cookie, out);
    }
    return;
  }
  if (known) {
    out.add(table_.cached_path(dir), name, kRenamed | kIsDir);
    mark_rename(cookie, kOldName, out);
  }
  Watch* moved = take_parked(dir, name);
  const bool exchanged = moved != nullptr;
  if (!moved) moved = table_.child(dir, name);
  const std::optional<InotifyRecord> destination = queue_.find_moved_to(cookie);
  Watch* target = destination ? table_.find(destination->wd) : nullptr;
  if (target && !target->in_tree()) target = nullptr;
  if (!moved) {
    remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
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
      remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
      return;
    case MoveCheck::Elsewhere:
      // Neither here nor at the destination: its own queued events find it again.
      watches_.drop_tree(*moved, KernelWatch::Remove);
      remember_move(cookie, MoveKind::DirectoryUnwatched, kIsDir);
      return;
    case MoveCheck::Moved:
      break;
  }
  if (!target) {
    // Moved out of every tree, unless a walk found it inside under another name.
    if (!settle_claim(*moved, out)) watches_.drop_tree(*moved, KernelWatch::Remove);
    return;
  }
  carry(*moved, cookie, *target, target_name, out);
  remember_move(cookie, MoveKind::DirectoryCarried, kIsDir);
}

// Moves the watches of a renamed directory within the trees. What the new name held is
// dropped, unless the rename was an exchange: then it is parked until its own half is read.
// The kernel queues an exchange as two renames back to back, the second from the first's
// new name to its old one.
void TreeWatcher::carry(Watch& moved, std::uint32_t cookie, Watch& target,
                        std::string_view target_name, EventBatch& out) {
  if (Watch* replaced = table_.child(target, target_name); replaced && replaced != &moved) {
    const std::optional<InotifyRecord> next = queue_.after_rename(cookie);
    if (next && next->wd == target.wd && (next->mask & IN_MOVED_FROM) && (next->mask & IN_ISDIR) &&
        next->name == target_name) {
      park(*replaced, target.wd, Parking::Exchange);
      remember_exchange(cookie, next->cookie, out);
    } else {
      watches_.drop_tree(*replaced, KernelWatch::Remove);
    }
  }
  if (const auto claim = claims_.find(moved.wd); claim != claims_.end() &&
                                                 claim->second.parent_wd == target.wd &&
                                                 claim->second.name == target_name) {
    claims_.erase(claim);
  }
  // Subdirectories that a walk lost to this very rename are found under the new path once
  // the new half is reported.
  table_.move(moved, &target, std::string(target_name), target.root, &walk_.to_complete());
}

// Takes `watch` off its name in `parent_wd`, keeping what lies below it.
void TreeWatcher::park(Watch& watch, int parent_wd, Parking why) {
  std::string name = watch.name;
  table_.unlink(watch);
  parked_.push_back(Parked{watch.wd, parent_wd, std::move(name), why});
}

// The directory parked from `name` in `dir`, whose own record is the one being read.
Watch* TreeWatcher::take_parked(const Watch& dir, std::string_view name) {
  for (auto parked = parked_.begin(); parked != parked_.end(); ++parked) {
    if (parked->parent_wd != dir.wd || parked->name != name) continue;
    Watch* watch = table_.find(parked->wd);
    parked_.erase(parked);
    return watch && watch->in_tree() ? watch : nullptr;
  }
  return nullptr;
}

void TreeWatcher::drop_parked() {
  const std::vector<Parked> parked = std::move(parked_);
  parked_.clear();
  for (const Parked& entry : parked) {
    if (Watch* watch = table_.find(entry.wd); watch && watch->in_tree()) {
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
  if (names(path_text::join(table_.path(dir), name), candidate)) return MoveCheck::Stayed;
  if (target && names(path_text::join(table_.path(*target), target_name), candidate)) {
    return MoveCheck::Moved;
  }
  return MoveCheck::Elsewhere;
}

void TreeWatcher::on_moved_to(Watch& dir, std::string_view name, bool is_dir, std::uint32_t cookie,
                              EventBatch& out) {
  take_fresh(dir.wd, name);
  if (const auto fresh = fresh_.find(dir.wd); fresh != fresh_.end()) {
    fresh->second.created.emplace(name);
  }
  const MoveNote* note = recall_move(cookie);
  if (!is_dir) {
    FSEventStreamEventFlags type = kIsFile;
    if (note && note->kind == MoveKind::Item) {
      type = note->type;
    } else {
      struct stat st;
      if (::lstat(path_text::join(table_.path(dir), name).c_str(), &st) == 0 &&
          S_ISLNK(st.st_mode)) {
        type = kIsSymlink;
      }
    }
    if (type == kIsSymlink) {
      remember_symlink(dir, name);
    } else {
      forget_symlink(dir, name);
    }
    out.add(table_.cached_path(dir), name, kRenamed | type);
    mark_rename(cookie, kNewName, out);
    return;
  }
  out.add(table_.cached_path(dir), name, kRenamed | kIsDir);
  mark_rename(cookie, kNewName, out);
  if (note && note->kind == MoveKind::DirectoryCarried) {
    // Between the halves of an exchange, listings would split it: they wait for the second.
    const bool exchanging = std::any_of(parked_.begin(), parked_.end(),
                                        [](const Parked& p) { return p.why == Parking::Exchange; });
    if (!exchanging) walk_.complete_pending(out);
    return;
  }
  // A directory that was inside but never watched (it was renamed before its creation was
  // read) has contents nobody reported. One from outside the trees, or moved out and back
  // before either rename was read, is watched as it is; what changed in it after the last
  // events read may have changed after the move, before its watches: that is reported.
  const Scan mode =
      note && note->kind == MoveKind::DirectoryUnwatched ? Scan::ReportCreated : Scan::MovedIn;
  walk_.walk(path_text::join(table_.path(dir), name), dir.wd, dir.root, mode, out);
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
      names(table_.path(watch), watch) && FileIdentity::of(by_fd) == watch.identity) {
    return false;  // its old path still leads to it
  }
  for (Watch* above = parent; above; above = above->parent) {
    if (above == &watch) return false;
  }
  if (mode == Scan::Resync) return true;
  claims_.insert_or_assign(watch.wd, Claim{parent->wd, std::string(name)});
  return false;
}

// A lone IN_MOVED_FROM of a watched directory that a walk found inside the trees: the
// directory left for the claimed place, which had no watch then to report its arrival. On
// its way it may have passed through names that no watch saw, and its records queued since
// may have happened under any of them: no path can be given to those. So its watches go,
// with the records still queued for them, and the claimed place is reported as created
// with what it holds now, and watched afresh.
bool TreeWatcher::settle_claim(Watch& moved, EventBatch& out) {
  const auto found = claims_.find(moved.wd);
  if (found == claims_.end()) return false;
  const Claim claim = std::move(found->second);
  claims_.erase(found);
  Watch* parent = table_.find(claim.parent_wd);
  if (!parent || !parent->in_tree()) return false;
  for (Watch* above = parent; above; above = above->parent) {
    if (above == &moved) return false;
  }
  std::string path = path_text::join(table_.path(*parent), claim.name);
  if (Watch* other = table_.child(*parent, claim.name); other && other != &moved) {
    watches_.drop_tree(*other, KernelWatch::Remove);
  }
  if (!names(path, moved)) {
    // It has left the claimed place as well, and that rename, read later, tells where to.
    out.add(path, kRenamed | kIsDir);
    table_.move(moved, parent, claim.name, parent->root, &walk_.to_complete());
    walk_.complete_pending(out);
    return true;
  }
  const std::uint32_t root = parent->root;
  watches_.drop_tree(moved, KernelWatch::Remove);
  out.add(path, kCreated | kIsDir);
  note_fresh(claim.parent_wd, claim.name);
  walk_.walk(std::move(path), claim.parent_wd, root, Scan::ReportCreated, out);
  return true;
}

void TreeWatcher::note_fresh(int wd, std::string_view name) {
  if (wd < 0) return;
  fresh_[wd].listed.emplace(name);
  fresh_read_ = queue_.reads();
}

void TreeWatcher::note_listed(int wd) {
  fresh_[wd].complete = true;
  fresh_read_ = queue_.reads();
}

bool TreeWatcher::take_fresh(int wd, std::string_view name) {
  const auto found = fresh_.find(wd);
  if (found == fresh_.end()) return false;
  const auto entry = found->second.listed.find(name);
  if (entry == found->second.listed.end()) return false;
  found->second.listed.erase(entry);
  return true;
}

// Whether a removal of `name` in the directory of `wd` names something the consumer was
// told of. After a walk that reported every entry, a removal of a name that neither the walk
// nor a record since reported was queued before the walk: its creation was never reported.
bool TreeWatcher::reported_since_walk(int wd, std::string_view name) {
  const auto found = fresh_.find(wd);
  if (found == fresh_.end() || !found->second.complete) return true;
  FreshNames& names = found->second;
  return names.listed.erase(std::string(name)) > 0 || names.created.erase(std::string(name)) > 0;
}

// Names reported by walks matter only against records queued before the walk: once a read
// that began after it has emptied the queue, those records are all handled.
void TreeWatcher::end_batch() {
  if (!fresh_.empty() && queue_.drained_read() > fresh_read_) fresh_.clear();
}

// A subdirectory whose attributes changed may have become readable: one that could not be
// watched is watched now, and what could not be listed in one is listed, all reported as
// created.
void TreeWatcher::retry_blocked(Watch& dir, std::string_view name, EventBatch& out) {
  Watch* child = table_.child(dir, name);
  if (!child) {
    walk_.walk(path_text::join(table_.path(dir), name), dir.wd, dir.root, Scan::ReportCreated, out);
  } else if (child->is_blocked()) {
    walk_.to_complete().push_back(child->wd);
    walk_.complete_pending(out);
  }
}

}  // namespace vestra::platform
