#include "platform/linux/watch_table.h"

#include <utility>

#include "platform/linux/path_text.h"

namespace vestra::platform {

std::size_t WatchTable::ChildHash::operator()(const ChildKeyView& key) const {
  return std::hash<std::string_view>{}(key.name) * 31 + static_cast<std::size_t>(key.parent);
}

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
  const auto found = watches_.find(wd);
  return found == watches_.end() ? nullptr : &found->second;
}

Watch& WatchTable::insert(int wd, std::string path) {
  return watches_.try_emplace(wd, wd, std::move(path)).first->second;
}

void WatchTable::erase(int wd) noexcept {
  watches_.erase(wd);
}

Watch* WatchTable::child(const Watch& parent, std::string_view name) noexcept {
  const auto found = children_.find(ChildKeyView{parent.wd, name});
  return found == children_.end() ? nullptr : found->second;
}

void WatchTable::link(Watch& parent, Watch& child) {
  children_.emplace(ChildKey{parent.wd, std::string(path_text::last_component(child.path))},
                    &child);
  child.parent = &parent;
  child.prev_sibling = nullptr;
  child.next_sibling = parent.first_child;
  if (parent.first_child) parent.first_child->prev_sibling = &child;
  parent.first_child = &child;
}

void WatchTable::unlink(Watch& watch) noexcept {
  Watch* parent = watch.parent;
  if (!parent) return;
  const auto found =
      children_.find(ChildKeyView{parent->wd, path_text::last_component(watch.path)});
  if (found != children_.end() && found->second == &watch) children_.erase(found);
  if (watch.prev_sibling) {
    watch.prev_sibling->next_sibling = watch.next_sibling;
  } else {
    parent->first_child = watch.next_sibling;
  }
  if (watch.next_sibling) watch.next_sibling->prev_sibling = watch.prev_sibling;
  watch.parent = watch.prev_sibling = watch.next_sibling = nullptr;
}

void WatchTable::move(Watch& watch, Watch* new_parent, std::string new_path, std::uint32_t root,
                      std::vector<int>* incomplete) {
  unlink(watch);
  const std::string old_path = std::exchange(watch.path, std::move(new_path));
  watch.root = root;
  if (incomplete && watch.incomplete) incomplete->push_back(watch.wd);
  for_each_below(watch, [&](Watch& below) {
    below.path.replace(0, old_path.size(), watch.path);
    below.root = root;
    if (incomplete && below.incomplete) incomplete->push_back(below.wd);
  });
  if (new_parent) link(*new_parent, watch);
}

void WatchTable::detach(Watch& top, std::vector<int>& wds) {
  unlink(top);
  const std::size_t first = wds.size();
  wds.push_back(top.wd);
  for_each_below(top, [&](Watch& below) { wds.push_back(below.wd); });
  for (std::size_t i = first; i < wds.size(); ++i) {
    Watch& watch = *find(wds[i]);
    if (watch.parent) {
      const auto found =
          children_.find(ChildKeyView{watch.parent->wd, path_text::last_component(watch.path)});
      if (found != children_.end() && found->second == &watch) children_.erase(found);
    }
    watch.root = kNoRoot;
    watch.parent = watch.first_child = watch.next_sibling = watch.prev_sibling = nullptr;
    watch.symlinks.reset();
  }
}

}  // namespace vestra::platform
