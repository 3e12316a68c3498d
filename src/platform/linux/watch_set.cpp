#include "platform/linux/watch_set.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "platform/linux/record_flags.h"

namespace vestra::platform {

using namespace record_flags;

namespace {

// Between the look-up that found a directory and the watch, the name may have been replaced
// by a link or a file: the watch never follows a link and refuses anything else.
constexpr std::uint32_t kDirectoryMask = kChangeMask | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

}  // namespace

WatchSet::WatchSet(int kernel, std::size_t max_watches, std::atomic<std::size_t>& watch_count,
                   Listener& listener)
    : kernel_(kernel),
      max_watches_(max_watches),
      watch_count_(watch_count),
      proc_fd_(::access("/proc/self/fd", X_OK) == 0),
      listener_(listener) {
  watch_count_.store(0, std::memory_order_relaxed);
}

// Closing the inotify instance removes every kernel watch at once.
WatchSet::~WatchSet() {
  watch_count_.store(0, std::memory_order_relaxed);
}

int WatchSet::add_watch(const char* path, std::uint32_t mask) {
  const int wd = table_.size() >= max_watches_ ? -1 : ::inotify_add_watch(kernel_, path, mask);
  if (wd >= 0) return wd;
  const int error = table_.size() >= max_watches_ ? ENOSPC : errno;
  if (error == ENOSPC) limit_reached_ = true;
  return -error;
}

int WatchSet::add_directory_watch(const std::string& path) {
  return add_watch(path.c_str(), kDirectoryMask);
}

// The watch is added through the open directory itself, so that it is on the very
// directory that is then scanned, even if the path has meanwhile been given to another.
int WatchSet::add_directory_watch(const std::string& path, int dir_fd) {
  if (!proc_fd_) return add_watch(path.c_str(), kDirectoryMask);
  char link[32] = "/proc/self/fd/";
  constexpr std::size_t kPrefix = sizeof "/proc/self/fd/" - 1;
  const auto printed = std::to_chars(link + kPrefix, link + sizeof link - 1, dir_fd);
  *printed.ptr = '\0';
  return add_watch(link, kDirectoryMask & ~IN_DONT_FOLLOW);
}

Watch& WatchSet::new_watch(int wd, std::string name) {
  Watch& watch = table_.insert(wd, std::move(name));
  watch_count_.store(table_.size(), std::memory_order_relaxed);
  return watch;
}

void WatchSet::take_role(int wd, std::string name, Role role, std::uint32_t index) {
  Watch* watch = table_.find(wd);
  if (!watch) watch = &new_watch(wd, std::move(name));
  WatchExtras& extras = watch->more();
  switch (role) {
    case Role::Anchor:
      ++extras.anchor_count;
      break;
    case Role::Item:
      extras.item_root = index;
      break;
    case Role::Ancestor:
      ++extras.ancestor_count;
      break;
  }
}

void WatchSet::give_back(int wd, Role role, KernelWatch kernel, std::uint32_t index) {
  Watch* watch = table_.find(wd);
  if (!watch) return;
  switch (role) {
    case Role::Anchor:
      if (watch->anchor_count() == 0) return;
      --watch->extras->anchor_count;
      prune_later(wd);
      return;
    case Role::Item:
      if (watch->item_root() != index) return;
      watch->extras->item_root = kNoRoot;
      break;
    case Role::Ancestor:
      if (watch->ancestor_count() == 0) return;
      --watch->extras->ancestor_count;
      break;
  }
  if (!watch->has_role()) remove_watch(wd, kernel);
}

void WatchSet::remove_watch(int wd, KernelWatch kernel) {
  if (kernel == KernelWatch::Remove) ::inotify_rm_watch(kernel_, wd);
  listener_.on_watch_removed(wd);
  table_.retire(wd);
  watch_count_.store(table_.size(), std::memory_order_relaxed);
}

void WatchSet::discard_if_unknown(int wd) {
  if (wd >= 0 && !table_.find(wd)) ::inotify_rm_watch(kernel_, wd);
}

void WatchSet::prune() {
  for (const int wd : prune_candidates_) {
    if (const Watch* watch = table_.find(wd); watch && !watch->has_role()) {
      remove_watch(wd, KernelWatch::Remove);
    }
  }
  prune_candidates_.clear();
}

void WatchSet::drop_tree(Watch& top, KernelWatch kernel) {
  std::vector<int> wds;
  table_.detach(top, wds);
  for (const int wd : wds) {
    const Watch* watch = table_.find(wd);
    if (watch && !watch->has_role()) remove_watch(wd, kernel);
  }
}

void remember_symlink(Watch& dir, std::string_view name) {
  dir.more().symlinks.emplace(name);
}

bool forget_symlink(Watch& dir, std::string_view name) {
  if (!dir.extras) return false;
  const auto found = dir.extras->symlinks.find(name);
  if (found == dir.extras->symlinks.end()) return false;
  dir.extras->symlinks.erase(found);
  return true;
}

FSEventStreamEventFlags known_type(const Watch& dir, std::string_view name) {
  return dir.extras && dir.extras->symlinks.contains(name) ? kIsSymlink : kIsFile;
}

}  // namespace vestra::platform
