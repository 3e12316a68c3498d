#include "platform/linux/watch_table.h"

#include <utility>

namespace vestra::platform {

template <class F>
void WatchTable::for_each_below(Watch& top, F&& visit) {
  Watch* node = top.first_child;
  while (node) {
    visit(*node);
    if (node->first_child) {
      node = node->first_child;
      continue;
    }
    while (node != &top && !node->next_sibling) node = node->parent;
    if (node == &top) return;
    node = node->next_sibling;
  }
}

Watch* WatchTable::find(int wd) noexcept {
  Watch* watch = watches_.find(wd);
  return watch && !watch->forgotten ? watch : nullptr;
}

Watch& WatchTable::insert(int wd, std::string name) {
  ++changes_;
  // The kernel hands a descriptor out again while its old watch awaits reclaim() only when
  // it still held that watch: the old storage then becomes the new watch, so that whoever
  // still refers to the old one meets the watch that the descriptor names now.
  if (Watch* old = watches_.find(wd); old && old->forgotten) {
    std::erase(retired_, wd);
    *old = Watch(wd, std::move(name));
    return *old;
  }
  return watches_.emplace(wd, wd, std::move(name));
}

void WatchTable::erase(int wd) noexcept {
  ++changes_;
  incomplete_.erase(wd);
  if (const Watch* watch = watches_.find(wd); watch && watch->forgotten) {
    std::erase(retired_, wd);
  }
  watches_.erase(wd);
}

void WatchTable::retire(int wd) {
  Watch* watch = find(wd);
  if (!watch) return;
  ++changes_;
  incomplete_.erase(wd);
  watch->forgotten = true;
  retired_.push_back(wd);
}

void WatchTable::reclaim() noexcept {
  for (const int wd : retired_) watches_.erase(wd);
  retired_.clear();
}

std::string WatchTable::path(const Watch& watch) const {
  std::size_t size = 0;
  for (const Watch* at = &watch; at; at = at->parent) size += at->name.size() + 1;
  std::string out(size - 1, '/');
  std::size_t end = out.size();
  for (const Watch* at = &watch; at; at = at->parent) {
    end -= at->name.size();
    out.replace(end, at->name.size(), at->name);
    if (end > 0) --end;  // the separator before it
  }
  if (out.size() > 1 && out[1] == '/') out.erase(0, 1);  // a tree whose top is "/"
  return out;
}

std::string_view WatchTable::cached_path(const Watch& watch) {
  if (watch.wd != cached_wd_ || changes_ != cached_changes_) {
    cached_path_ = path(watch);
    cached_wd_ = watch.wd;
    cached_changes_ = changes_;
  }
  return cached_path_;
}

Watch* WatchTable::child(const Watch& parent, std::string_view name) noexcept {
  return children_.find(parent.wd, name);
}

void WatchTable::link(Watch& parent, Watch& child) {
  ++changes_;
  child.parent = &parent;
  if (!children_.insert(child)) {
    child.parent = nullptr;
    return;
  }
  child.prev_sibling = nullptr;
  child.next_sibling = parent.first_child;
  if (parent.first_child) parent.first_child->prev_sibling = &child;
  parent.first_child = &child;
}

void WatchTable::unlink(Watch& watch) {
  Watch* parent = watch.parent;
  if (!parent) return;
  ++changes_;
  std::string whole = path(watch);
  children_.erase(watch);
  if (watch.prev_sibling) {
    watch.prev_sibling->next_sibling = watch.next_sibling;
  } else {
    parent->first_child = watch.next_sibling;
  }
  if (watch.next_sibling) watch.next_sibling->prev_sibling = watch.prev_sibling;
  watch.parent = watch.prev_sibling = watch.next_sibling = nullptr;
  watch.name = std::move(whole);
}

void WatchTable::move(Watch& watch, Watch* new_parent, std::string new_name, std::uint32_t root,
                      std::vector<int>* incomplete) {
  ++changes_;
  unlink(watch);
  watch.name = std::move(new_name);
  if (watch.root != root) {
    watch.root = root;
    for_each_below(watch, [&](Watch& below) { below.root = root; });
  }
  if (incomplete) {
    for (const int wd : incomplete_) {
      for (const Watch* at = find(wd); at; at = at->parent) {
        if (at != &watch) continue;
        incomplete->push_back(wd);
        break;
      }
    }
  }
  if (new_parent) link(*new_parent, watch);
}

void WatchTable::detach(Watch& top, std::vector<int>& wds) {
  ++changes_;
  unlink(top);
  const std::size_t first = wds.size();
  wds.push_back(top.wd);
  for_each_below(top, [&](Watch& below) { wds.push_back(below.wd); });
  // Children first out of the index: their keys name their parents. A watch that keeps
  // another role keeps its whole path as its name.
  for (std::size_t i = wds.size(); i-- > first;) {
    Watch& watch = *find(wds[i]);
    if (watch.anchor_count() > 0 || watch.item_root() != kNoRoot || watch.ancestor_count() > 0) {
      watch.name = path(watch);
    }
    if (watch.parent) children_.erase(watch);
  }
  for (std::size_t i = first; i < wds.size(); ++i) {
    Watch& watch = *find(wds[i]);
    watch.root = kNoRoot;
    watch.parent = watch.first_child = watch.next_sibling = watch.prev_sibling = nullptr;
    if (watch.extras) {
      watch.extras->symlinks.clear();
      watch.extras->blocked.clear();
    }
    set_incomplete(watch, false);
  }
}

void WatchTable::set_incomplete(Watch& watch, bool incomplete) {
  watch.incomplete = incomplete;
  if (incomplete) {
    incomplete_.insert(watch.wd);
  } else {
    incomplete_.erase(watch.wd);
  }
}

}  // namespace vestra::platform
