#include "platform/linux/stream_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/linux/path_text.h"
#include "platform/linux/record_flags.h"
#include "support/path.h"

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

// A stream path that exists but cannot be watched or read waits in its parent for a change
// of its permissions.
constexpr std::uint32_t kBlockedMask = kAnchorMask | IN_ATTRIB;

constexpr int kResolveAttempts = 32;

/// Whether this process may list and enter the directory at `path`.
bool readable(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), R_OK | X_OK, AT_EACCESS) == 0;
}

/// Keeps the paths that are not inside another, in their first order; duplicates go.
std::vector<std::string> covering_paths(const std::vector<std::string>& paths) {
  std::vector<std::string> kept;
  for (const std::string& path : paths) {
    const bool covered = std::any_of(kept.begin(), kept.end(), [&](const std::string& other) {
      return path_starts_with(path, other);
    });
    if (covered) continue;
    std::erase_if(kept, [&](const std::string& other) { return path_starts_with(other, path); });
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

StreamPaths::StreamPaths(const std::vector<std::string>& paths, WatchSet& watches, TreeWalk& walk)
    : watches_(watches), walk_(walk) {
  std::vector<std::string> kept = covering_paths(paths);
  paths_.reserve(kept.size());
  for (std::string& path : kept) paths_.push_back(StreamPath{std::move(path), Unwatched{}, {}});
}

bool StreamPaths::is_tree_top(std::uint32_t index, int wd) const {
  const Tree* tree = std::get_if<Tree>(&paths_[index].state);
  return tree && tree->top == wd;
}

int StreamPaths::tree_top(std::uint32_t index) const {
  const Tree* tree = std::get_if<Tree>(&paths_[index].state);
  return tree ? tree->top : -1;
}

bool StreamPaths::is_waiting(std::uint32_t index) const {
  return std::holds_alternative<Missing>(paths_[index].state);
}

template <class Match>
std::vector<std::uint32_t> StreamPaths::matching(Match&& match) const {
  std::vector<std::uint32_t> matched;
  for (std::uint32_t index = 0; index < paths_.size(); ++index) {
    if (match(paths_[index])) matched.push_back(index);
  }
  return matched;
}

void StreamPaths::start(EventBatch& out) {
  for (std::uint32_t index = 0; index < paths_.size(); ++index) {
    resolve_root(index, Report::No, out);
  }
}

void StreamPaths::renew(std::uint32_t index, KernelWatch kernel, Report report, EventBatch& out) {
  forget_root(index, kernel);
  resolve_root(index, report, out);
}

// ---------------------------------------------------------------------------------------
// Kernel events

void StreamPaths::on_root_self_event(Watch& top, std::uint32_t mask, EventBatch& out) {
  const std::uint32_t index = top.root;
  if (!is_tree_top(index, top.wd)) return;
  const std::string& path = paths_[index].path;
  if (mask & IN_ATTRIB) {
    out.add(path, kMetaMod | kIsDir);
  } else if (mask & IN_DELETE_SELF) {
    out.add(path, kRemoved | kIsDir);
    renew(index, KernelWatch::Remove, Report::Yes, out);
  } else if (mask & IN_MOVE_SELF) {
    // The tree now lives elsewhere, so its events would carry wrong paths: its watches go,
    // and the path is watched again by name.
    out.add(path, kFSEventStreamEventFlagRootChanged);
    renew(index, KernelWatch::Remove, Report::Yes, out);
  }
}

void StreamPaths::on_item_root_event(Watch& item, std::uint32_t mask, EventBatch& out) {
  const std::uint32_t index = item.item_root();
  const Item* state = std::get_if<Item>(&paths_[index].state);
  if (!state) return;  // the item's watch ends with its state
  const std::string& path = paths_[index].path;
  const FSEventStreamEventFlags type = state->type;
  if (mask & IN_MODIFY) {
    out.add(path, kModified | type);
  } else if (mask & IN_ATTRIB) {
    // Unlinking changes the link count, which arrives as an attribute change long before the
    // deletion itself when the file is still open somewhere: the path tells which it was.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && FileIdentity{st.st_dev, st.st_ino} == state->identity) {
      out.add(path, kMetaMod | type);
    } else {
      out.add(path, kRemoved | type);
      renew(index, KernelWatch::Remove, Report::Yes, out);
    }
  } else if (mask & IN_DELETE_SELF) {
    out.add(path, kRemoved | type);
    renew(index, KernelWatch::Remove, Report::Yes, out);
  } else if (mask & IN_MOVE_SELF) {
    out.add(path, kRenamed | type);
    renew(index, KernelWatch::Remove, Report::Yes, out);
  }
}

void StreamPaths::on_anchor_event(int wd, std::uint32_t mask, std::string_view name,
                                  EventBatch& out) {
  const bool appeared = (mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB)) && !name.empty();
  const bool gone = mask & (IN_DELETE_SELF | IN_MOVE_SELF);
  if (!appeared && !gone) return;
  // A change of permissions matters once they let the entry be read.
  const auto arrived = [&] {
    if (mask & (IN_CREATE | IN_MOVED_TO)) return true;
    const Watch* anchor = watches_.table().find(wd);
    return anchor && readable(path_text::join(watches_.table().path(*anchor), name));
  };
  const std::vector<std::uint32_t> matched = matching([&](const StreamPath& root) {
    const Missing* missing = std::get_if<Missing>(&root.state);
    return missing && missing->anchor == wd && (gone || (missing->next == name && arrived()));
  });
  for (const std::uint32_t index : matched) renew(index, KernelWatch::Remove, Report::Yes, out);
}

void StreamPaths::on_anchor_ignored(int wd, EventBatch& out) {
  const std::vector<std::uint32_t> matched = matching([&](const StreamPath& root) {
    const Missing* missing = std::get_if<Missing>(&root.state);
    return missing && missing->anchor == wd;
  });
  for (const std::uint32_t index : matched) {
    renew(index, KernelWatch::AlreadyGone, Report::No, out);
  }
}

// A directory above stream paths moved or went: each path watched below it has moved away,
// as if it had moved itself, and is watched again once something takes its name.
void StreamPaths::on_ancestor_gone(int wd, EventBatch& out) {
  const std::vector<std::uint32_t> matched = matching([&](const StreamPath& root) {
    return std::find(root.ancestors.begin(), root.ancestors.end(), wd) != root.ancestors.end();
  });
  for (const std::uint32_t index : matched) {
    const StreamPath& root = paths_[index];
    if (std::holds_alternative<Tree>(root.state) || std::holds_alternative<Item>(root.state)) {
      out.add(root.path, kRootChanged);
    }
    renew(index, KernelWatch::Remove, Report::Yes, out);
  }
}

// ---------------------------------------------------------------------------------------
// Resync

void StreamPaths::rewalk_trees(EventBatch& out) {
  for (std::uint32_t index = 0; index < paths_.size(); ++index) {
    StreamPath& root = paths_[index];
    Tree* tree = std::get_if<Tree>(&root.state);
    if (!tree) continue;
    const TreeWalk::Result result = walk_.walk(root.path, -1, index, TreeWalk::Scan::Resync, out);
    const Watch* top =
        result.outcome == TreeWalk::Outcome::Watched ? watches_.table().find(result.wd) : nullptr;
    if (top && top->root == index && !top->parent) {
      tree->top = result.wd;
    } else {
      root.state = Unwatched{};  // its old watches are swept by the caller
    }
  }
}

void StreamPaths::renew_all_but_trees(EventBatch& out) {
  for (std::uint32_t index = 0; index < paths_.size(); ++index) {
    if (std::holds_alternative<Tree>(paths_[index].state)) continue;
    renew(index, KernelWatch::Remove, Report::No, out);
  }
}

// ---------------------------------------------------------------------------------------
// Watching and forgetting

void StreamPaths::forget_root(std::uint32_t index, KernelWatch kernel) {
  StreamPath& root = paths_[index];
  release_ancestors(root, kernel);
  WatchTable& table = watches_.table();
  if (const Tree* tree = std::get_if<Tree>(&root.state)) {
    Watch* watch = table.find(tree->top);
    if (watch && watch->root == index && !watch->parent) watches_.drop_tree(*watch, kernel);
  } else if (const Item* item = std::get_if<Item>(&root.state)) {
    watches_.give_back(item->wd, Role::Item, kernel, index);
  } else if (const Missing* missing = std::get_if<Missing>(&root.state)) {
    watches_.give_back(missing->anchor, Role::Anchor, kernel);
  }
  root.state = Unwatched{};
}

// A stream path is watched by name: as a tree when it is a directory, as one item when it is
// anything else, and while it does not exist, through its nearest existing directory, where
// the next component of its path will appear.
void StreamPaths::resolve_root(std::uint32_t index, Report report, EventBatch& out) {
  const std::string& path = paths_[index].path;
  for (int attempt = 0; attempt < kResolveAttempts; ++attempt) {
    struct stat st;
    Attempt done;
    if (::lstat(path.c_str(), &st) == 0) {
      done = S_ISDIR(st.st_mode) ? resolve_as_tree(index, report, out)
                                 : resolve_as_item(index, st, report, out);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      out.add(path, kUserDropped);
      return;
    } else {
      done = wait_on_anchor(index, out);
    }
    if (done == Attempt::Done) return;
  }
  // The path kept changing under every attempt.
  out.add(path, kUserDropped);
}

StreamPaths::Attempt StreamPaths::resolve_as_tree(std::uint32_t index, Report report,
                                                  EventBatch& out) {
  StreamPath& root = paths_[index];
  if (report == Report::Yes) out.add(root.path, kCreated | kIsDir);
  const TreeWalk::Scan mode = report == Report::Yes     ? TreeWalk::Scan::ReportCreated
                              : report == Report::Since ? TreeWalk::Scan::MovedIn
                                                        : TreeWalk::Scan::Quiet;
  const TreeWalk::Result result = walk_.walk(root.path, -1, index, mode, out);
  if (result.outcome == TreeWalk::Outcome::Vanished) return Attempt::Retry;
  if (result.outcome == TreeWalk::Outcome::Failed) return wait_until_readable(index);
  const Watch* top = watches_.table().find(result.wd);
  if (top && top->root == index && !top->parent) {
    root.state = Tree{result.wd};
    watch_ancestors(root);
  }
  return Attempt::Done;
}

StreamPaths::Attempt StreamPaths::resolve_as_item(std::uint32_t index, const struct stat& st,
                                                  Report report, EventBatch& out) {
  StreamPath& root = paths_[index];
  const int wd = watches_.add_watch(root.path.c_str(), kItemMask);
  if (wd < 0) {
    if (vanished(-wd)) return Attempt::Retry;
    out.add(root.path, kUserDropped);
    return Attempt::Done;
  }
  watches_.take_role(wd, root.path, Role::Item, index);
  const FSEventStreamEventFlags type = S_ISLNK(st.st_mode) ? kIsSymlink : kIsFile;
  root.state = Item{wd, FileIdentity{st.st_dev, st.st_ino}, type};
  watch_ancestors(root);
  if (report == Report::Yes) {
    const bool linked = S_ISREG(st.st_mode) && st.st_nlink > 1;
    out.add(root.path, kCreated | type | (linked ? kIsHardlink : 0));
  }
  return Attempt::Done;
}

StreamPaths::Attempt StreamPaths::wait_on_anchor(std::uint32_t index, EventBatch& out) {
  StreamPath& root = paths_[index];
  auto [anchor_path, next] = nearest_directory_above(root.path);
  const int wd = watches_.add_watch(anchor_path.c_str(), kAnchorMask);
  if (wd < 0) {
    if (vanished(-wd)) return Attempt::Retry;
    out.add(root.path, kUserDropped);
    return Attempt::Done;
  }
  watches_.take_role(wd, anchor_path, Role::Anchor);
  root.state = Missing{wd, next};
  // The component may have appeared between the look-up and the watch. A non-directory
  // on the way blocks the path until it is replaced, which the anchor then sees.
  std::string awaited = path_text::join(anchor_path, next);
  struct stat appeared;
  if (::lstat(awaited.c_str(), &appeared) != 0) return Attempt::Done;
  if (!S_ISDIR(appeared.st_mode) && awaited != root.path) return Attempt::Done;
  forget_root(index, KernelWatch::Remove);
  return Attempt::Retry;
}

// The walk reported a directory that could not be watched or read (its permissions, most
// often). The kernel tells its parent of a change of them, under its name: then it is
// watched again, what it holds reported as created, as for a subdirectory. The same
// watch sees it replaced.
StreamPaths::Attempt StreamPaths::wait_until_readable(std::uint32_t index) {
  StreamPath& root = paths_[index];
  if (root.path == "/") return Attempt::Done;  // no parent to tell of it
  const std::string parent(path_text::parent(root.path));
  const int wd = watches_.add_watch(parent.c_str(), kBlockedMask);
  if (wd < 0) return Attempt::Done;  // reported already, and nothing will tell of a change
  Watch* anchor = watches_.table().find(wd);
  if (!anchor) anchor = &watches_.new_watch(wd, parent);
  ++anchor->more().anchor_count;
  root.state = Missing{wd, std::string(path_text::last_component(root.path))};
  return Attempt::Done;
}

// Best effort: an ancestor that cannot be watched only leaves its move unnoticed, as it
// always was before these watches.
void StreamPaths::watch_ancestors(StreamPath& root) {
  for (std::string_view above = path_text::parent(root.path); above.size() > 1;
       above = path_text::parent(above)) {
    const std::string path(above);
    const int wd = watches_.add_watch(path.c_str(), kAncestorMask);
    if (wd < 0) continue;
    watches_.take_role(wd, path, Role::Ancestor);
    root.ancestors.push_back(wd);
  }
}

void StreamPaths::release_ancestors(StreamPath& root, KernelWatch kernel) {
  for (const int wd : root.ancestors) watches_.give_back(wd, Role::Ancestor, kernel);
  root.ancestors.clear();
}

}  // namespace vestra::platform
