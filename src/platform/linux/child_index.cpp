#include "platform/linux/child_index.h"

#include <functional>

#include "platform/linux/watch.h"

namespace vestra::platform {

namespace {

Watch* const kTombstone = reinterpret_cast<Watch*>(alignof(Watch));

bool matches(const Watch* watch, int parent, std::string_view name) noexcept {
  return watch != kTombstone && watch->parent->wd == parent && watch->name == name;
}

}  // namespace

std::size_t ChildIndex::hash(int parent, std::string_view name) noexcept {
  return std::hash<std::string_view>{}(name)*31 + static_cast<std::size_t>(parent);
}

// The slot holding the child, or the empty slot where probing for it ends.
std::size_t ChildIndex::slot_of(int parent, std::string_view name) const noexcept {
  const std::size_t mask = capacity_ - 1;
  for (std::size_t slot = hash(parent, name) & mask;; slot = (slot + 1) & mask) {
    const Watch* held = slots_[slot];
    if (!held || matches(held, parent, name)) return slot;
  }
}

Watch* ChildIndex::find(int parent, std::string_view name) const noexcept {
  if (live_ == 0) return nullptr;
  return slots_[slot_of(parent, name)];
}

bool ChildIndex::insert(Watch& child) {
  if ((used_ + 1) * 4 > capacity_ * 3) grow();
  const int parent = child.parent->wd;
  const std::size_t mask = capacity_ - 1;
  std::size_t reuse = capacity_;
  std::size_t slot = hash(parent, child.name) & mask;
  for (; slots_[slot]; slot = (slot + 1) & mask) {
    if (slots_[slot] == kTombstone) {
      if (reuse == capacity_) reuse = slot;
    } else if (matches(slots_[slot], parent, child.name)) {
      return false;
    }
  }
  if (reuse != capacity_) {
    slot = reuse;
  } else {
    ++used_;
  }
  slots_[slot] = &child;
  ++live_;
  return true;
}

void ChildIndex::erase(const Watch& child) noexcept {
  if (live_ == 0) return;
  const std::size_t slot = slot_of(child.parent->wd, child.name);
  if (slots_[slot] != &child) return;
  slots_[slot] = kTombstone;
  --live_;
}

void ChildIndex::grow() {
  std::size_t capacity = capacity_ ? capacity_ : 16;
  while (live_ * 2 >= capacity) capacity *= 2;
  auto old = std::move(slots_);
  const std::size_t old_capacity = capacity_;
  slots_ = std::make_unique<Watch*[]>(capacity);
  capacity_ = capacity;
  used_ = live_ = 0;
  for (std::size_t i = 0; i < old_capacity; ++i) {
    if (old[i] && old[i] != kTombstone) insert(*old[i]);
  }
}

}  // namespace vestra::platform
