// The records of one callback: parallel arrays of paths, flags and ids, in reused storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
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

  /// Marks the record added last as one half of the rename that the kernel tagged with
  /// `cookie`: `side` 1 for its old name, 2 for its new one. A zero cookie marks nothing.
  void mark_rename(std::uint32_t cookie, unsigned side);
  /// Marks the halves of the rename with `cookie` marked so far as `part` (1 or 2) of an
  /// exchange: the first rename of the two, or the second, which undoes nothing but is the
  /// other direction of the same swap.
  void mark_exchange(std::uint32_t cookie, unsigned part);
  /// Per record: `cookie << 2 | side` for a marked half, with bit 40 set for the first rename
  /// of an exchange and bit 41 for the second; 0 for any other. Valid until the batch is
  /// changed.
  const std::uint64_t* rename_marks();

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
  // Few records are renames: the marks are kept sparse, laid out only when asked for.
  std::vector<std::pair<std::size_t, std::uint64_t>> renames_;
  std::vector<std::uint64_t> marks_;
};

}  // namespace vestra::platform
