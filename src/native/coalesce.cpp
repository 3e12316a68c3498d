#include "native/coalesce.h"

#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace vestra {

namespace {

enum class Change { Created, Removed, Written, Metadata, Kept };

Change change_of(std::string_view text) {
  if (text.starts_with("Create(")) return Change::Created;
  if (text.starts_with("Remove(")) return Change::Removed;
  if (text.starts_with("Modify(Data(") || text == "Modify(Any)") return Change::Written;
  if (text.starts_with("Modify(Metadata(")) return Change::Metadata;
  return Change::Kept;
}

/// What a batch did to one path so far.
struct Net {
  bool existed_before = true;
  bool exists = true;
  std::optional<NativeEvent> created;  // the latest creation
  std::optional<NativeEvent> removed;  // the latest removal
  std::optional<NativeEvent> written;
  std::optional<NativeEvent> metadata;

  void apply(Change change, NativeEvent event, bool first) {
    switch (change) {
      case Change::Created:
        if (first) existed_before = false;
        exists = true;
        created = std::move(event);
        break;
      case Change::Removed:
        exists = false;
        // Writes to what is gone are no change of the path any more.
        written.reset();
        metadata.reset();
        removed = std::move(event);
        break;
      case Change::Written:
        written = std::move(event);
        break;
      case Change::Metadata:
        metadata = std::move(event);
        break;
      case Change::Kept:
        break;
    }
  }

  std::optional<NativeEvent> result() && {
    if (!exists) return existed_before ? std::move(removed) : std::nullopt;
    if (created) return std::move(created);
    if (written) return std::move(written);
    return std::move(metadata);
  }
};

}  // namespace

std::vector<NativeEvent> coalesce(std::vector<NativeEvent> batch) {
  // One slot per output position: either a kept event or the net change of a path.
  struct Slot {
    std::optional<NativeEvent> kept;
    Net net;
  };
  std::vector<Slot> slots;
  std::unordered_map<Path, std::size_t> open;  // path -> its slot, until a kept event
  for (NativeEvent& event : batch) {
    const Change change = change_of(event.text);
    if (change == Change::Kept) {
      open.erase(event.path);
      if (event.old_path) open.erase(*event.old_path);
      slots.push_back(Slot{std::move(event), {}});
      continue;
    }
    auto [found, inserted] = open.try_emplace(event.path, slots.size());
    if (inserted) slots.emplace_back();
    slots[found->second].net.apply(change, std::move(event), inserted);
  }
  std::vector<NativeEvent> reduced;
  reduced.reserve(slots.size());
  for (Slot& slot : slots) {
    std::optional<NativeEvent> event =
        slot.kept ? std::move(slot.kept) : std::move(slot.net).result();
    if (event) reduced.push_back(std::move(*event));
  }
  return reduced;
}

}  // namespace vestra
