// The records of one callback: parallel arrays of paths, flags and ids, in reused storage.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/api/fsevents.h"

namespace vestra::platform {

/// Collects records for one delivery. The storage is kept between batches, so a batch of
/// a size seen before allocates nothing.
class EventBatch {
 public:
  void add(std::string_view path, FSEventStreamEventFlags flags);
  /// Adds the record of `name` inside directory `dir`.
  void add(std::string_view dir, std::string_view name, FSEventStreamEventFlags flags);

  std::size_t size() const noexcept { return flags_.size(); }
  bool empty() const noexcept { return flags_.empty(); }

  /// Numbers the records from `first_id` up and lays out the path pointers. The arrays stay
  /// valid until the batch is changed.
  void seal(FSEventStreamEventId first_id);
  char** paths() noexcept { return pointers_.data(); }
  const FSEventStreamEventFlags* flags() const noexcept { return flags_.data(); }
  const FSEventStreamEventId* ids() const noexcept { return ids_.data(); }
  /// The path of record `index`, for tests and diagnostics.
  std::string_view path(std::size_t index) const noexcept;

  /// Empties the batch, keeping its storage unless an exceptional burst made it huge.
  void clear() noexcept;

 private:
  std::string text_;  // every path, each followed by its NUL
  std::vector<std::size_t> offsets_;
  std::vector<FSEventStreamEventFlags> flags_;
  std::vector<FSEventStreamEventId> ids_;
  std::vector<char*> pointers_;
};

}  // namespace vestra::platform
