// The watched subdirectories of each directory by name, in one open-addressed table.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace vestra::platform {

struct Watch;

/// Finds a linked child watch by its parent's descriptor and its name. Holds pointers only;
/// a child's parent and name must not change while it is in the index.
class ChildIndex {
 public:
  Watch* find(int parent, std::string_view name) const noexcept;
  /// Adds `child` (its parent set); false when its name is taken.
  bool insert(Watch& child);
  /// Removes `child` if it is the one indexed under its parent and name.
  void erase(const Watch& child) noexcept;

 private:
  static std::size_t hash(int parent, std::string_view name) noexcept;
  std::size_t slot_of(int parent, std::string_view name) const noexcept;
  void grow();

  std::unique_ptr<Watch*[]> slots_;  // null: never used; kTombstone: erased
  std::size_t capacity_ = 0;         // a power of two
  std::size_t used_ = 0;             // live and erased slots
  std::size_t live_ = 0;
};

}  // namespace vestra::platform
