// Mounts and unmounts in and above the watched trees, as the mount table tells of them.
//
// A watch is on an inode: a file system mounted over a watched directory leaves the watch
// on the directory beneath, and unmounting a bind mount leaves the watches on its source,
// with no event either way. Only the kernel's unmount of a whole file system queues events
// (IN_UNMOUNT, then IN_IGNORED), which on_tree_ignored handles; whichever of the two comes
// first does the work, and the other then finds the watch already on what the path shows.
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "platform/linux/path_text.h"
#include "platform/linux/record_flags.h"
#include "platform/linux/tree_watcher.h"
#include "support/path.h"

namespace vestra::platform {

using namespace record_flags;

namespace {

/// The identity of what `path` shows now, if it is a directory.
std::optional<FileIdentity> directory_at(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return FileIdentity::of(st);
}

}  // namespace

void TreeWatcher::on_mounts_changed(const std::vector<MountChange>& changes, EventBatch& out) {
  for (const MountChange& change : changes) {
    for (std::uint32_t index = 0; index < paths_.size(); ++index) {
      const std::string& path = paths_.path(index);
      if (path_starts_with(path, change.point)) {
        on_stream_path_remounted(index, change, out);
      } else if (path_starts_with(change.point, path)) {
        on_mount_change(index, change, out);
      }
    }
  }
  settle_orphaned_claims(out);
  watches_.prune();
  watches_.end_record();
}

// The stream path lies at or below the mount point: what it names may be another directory
// now, reported as a mount or an unmount of the path, which is then watched afresh: after a
// mount like a directory moved in, after an unmount with what shows now reported as
// created, as after the unmount of a whole file system at the top.
void TreeWatcher::on_stream_path_remounted(std::uint32_t index, const MountChange& change,
                                           EventBatch& out) {
  const std::string path = paths_.path(index);
  const int top_wd = paths_.tree_top(index);
  if (top_wd < 0) {
    // Waiting for the path: it may have appeared with the mount.
    if (paths_.is_waiting(index) && directory_at(path)) {
      paths_.renew(index, KernelWatch::Remove, Report::Yes, out);
    }
    return;
  }
  const Watch* top = watches_.find(top_wd);
  if (!top || top->unmounted) return;  // the kernel's own events are on their way
  const std::optional<FileIdentity> now = directory_at(path);
  if (now && *now == top->identity) return;
  if (change.kind == MountChange::Kind::Mounted) {
    out.add(path, kFSEventStreamEventFlagMount);
    paths_.renew(index, KernelWatch::Remove, Report::Since, out);
  } else {
    out.add(path, kFSEventStreamEventFlagUnmount);
    paths_.renew(index, KernelWatch::Remove, Report::Yes, out);
  }
}

// A mount point inside the tree of stream path `index`.
void TreeWatcher::on_mount_change(std::uint32_t index, const MountChange& change, EventBatch& out) {
  const std::string& point = change.point;
  Watch* parent = watched_directory(index, path_text::parent(point));
  if (!parent) return;  // not watched there: nothing to bring in line
  const std::string_view name = path_text::last_component(point);
  Watch* covered = watches_.child(*parent, name);
  if (covered && covered->unmounted) return;  // the kernel's own events are on their way
  const std::optional<FileIdentity> now = directory_at(point);
  if (covered && now && *now == covered->identity) return;
  const int parent_wd = parent->wd;
  const std::uint32_t root = parent->root;
  if (covered) watches_.drop_tree(*covered, KernelWatch::Remove);
  if (!now) return;
  if (change.kind == MountChange::Kind::Mounted) {
    // What changed in it since the last records read may have changed after the mount.
    out.add(point, kFSEventStreamEventFlagMount);
    walk_.walk(point, parent_wd, root, Scan::MovedIn, out);
  } else {
    out.add(point, kFSEventStreamEventFlagUnmount);
    out.add(point, kCreated | kIsDir);
    note_fresh(parent_wd, name);
    walk_.walk(point, parent_wd, root, Scan::ReportCreated, out);
  }
}

// The watched directory at `path` in the tree of stream path `index`, found by its names.
Watch* TreeWatcher::watched_directory(std::uint32_t index, std::string_view path) {
  const int top_wd = paths_.tree_top(index);
  Watch* dir = top_wd >= 0 ? watches_.find(top_wd) : nullptr;
  const std::string& top = paths_.path(index);
  if (!dir || !path_starts_with(path, top)) return nullptr;
  std::string_view rest = path.substr(top.size());
  while (dir && !rest.empty()) {
    if (rest.front() == '/') {
      rest.remove_prefix(1);
      continue;
    }
    const std::size_t end = std::min(rest.find('/'), rest.size());
    dir = watches_.child(*dir, rest.substr(0, end));
    rest.remove_prefix(end);
  }
  return dir;
}

}  // namespace vestra::platform
