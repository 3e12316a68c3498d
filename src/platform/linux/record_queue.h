// The inotify queue as a sequence of records, read strictly in queue order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/linux/file_descriptor.h"

namespace vestra::platform {

/// One inotify record; `name` points into the queue's buffer until the next fill().
struct InotifyRecord {
  int wd = -1;
  std::uint32_t mask = 0;
  std::uint32_t cookie = 0;
  std::string_view name;
};

/// Decodes the record that starts at `offset` of `data[0, size)` and sets `next` to the
/// offset after it. Null when the bytes left do not hold a whole record.
std::optional<InotifyRecord> decode_record(const char* data, std::size_t size, std::size_t offset,
                                           std::size_t& next) noexcept;

/// Reads records from a descriptor that delivers them as inotify does: the inotify instance
/// itself, or in tests a pipe fed by hand. Non-blocking reads; a record cut at the end of a
/// read waits for the rest.
class RecordQueue {
 public:
  explicit RecordQueue(FileDescriptor source);

  int fd() const noexcept { return source_.get(); }

  /// Waits until every rename under way in the directory of a watch has queued all its
  /// records; false when it cannot tell. The kernel queues them while it holds the locks of
  /// the renamed entries' directories, so taking one of those locks waits for them.
  using RenameBarrier = std::function<bool(int wd)>;
  /// With a barrier, a rename's missing half is looked for behind the barrier of the
  /// directory of the record at hand instead of by waiting a moment for it.
  void set_rename_barrier(RenameBarrier barrier) { barrier_ = std::move(barrier); }

  /// Starts a new batch: drops the records of the last one and reads what is queued. False
  /// when nothing was read.
  bool fill();
  /// The next record of the batch in queue order, or null at its end.
  std::optional<InotifyRecord> next();
  /// The first record after the one at hand that is not an IN_MOVE_SELF, left in place; at
  /// the end of the batch, one more read (that does not wait) looks for it.
  std::optional<InotifyRecord> peek_past_move_self();
  /// Takes the record that the last peek returned out of turn: next() passes over it.
  void take_peeked() noexcept { taken_ = peeked_; }
  /// Ends the batch: from now on, unread_since() covers what the batch's reads drained.
  void finish() noexcept;

  /// The IN_MOVED_TO with `cookie` queued after the record last returned by next(). The two
  /// halves of a rename are queued together, but a read may end between them: when that
  /// record ends the buffer, or when the second half is `due` (an exchange's second rename,
  /// whose old half is at hand), one more read looks for it.
  std::optional<InotifyRecord> find_moved_to(std::uint32_t cookie, bool due = false);
  /// Whether a record after the one at hand, among those read, creates something at `name`
  /// in `wd` or moves something there: what is at that name now may have come later than
  /// what the record at hand is about.
  bool arrives_later(int wd, std::string_view name);
  /// Whether IN_MOVE_SELF on `wd` follows the record at hand before any record of another
  /// rename or an overflow, within a few records. Renaming a watched directory queues it
  /// right after the rename's two halves.
  bool move_self_follows(int wd, std::uint32_t cookie);
  /// The first record after the one at hand that is not part of the rename with `cookie`
  /// (its IN_MOVED_TO, or an IN_MOVE_SELF), reading once more when needed; when the rename
  /// may be the first of an exchange (`may_exchange`), waiting a moment for the second.
  std::optional<InotifyRecord> after_rename(std::uint32_t cookie, bool may_exchange);

  /// Every record not read yet was queued after this time (nanoseconds of the coarse
  /// real-time clock, the one file times are stamped from).
  std::int64_t unread_since() const noexcept { return unread_since_; }
  /// Marks the queue as read up to now, before any watch exists.
  void mark_drained() noexcept;
  /// Counts the reads; a read with a higher number started after the lower one's records.
  std::uint64_t reads() const noexcept { return reads_; }
  /// The number of the last read that emptied the queue, 0 when none did.
  std::uint64_t drained_read() const noexcept { return drained_read_; }

 private:
  bool read_into(std::size_t room);
  /// Reads what is queued; when nothing is, waits at most `patience_ns` for more.
  bool read_more(long patience_ns);
  /// Passes the barrier of the record at hand's directory, once per record, and reads what
  /// was queued by then: true when that read took all of it, so that every record of the
  /// renames under way there has been read.
  bool renames_read();
  bool more_comes(long nanoseconds);
  /// Indexes the records read since the last call: renames by cookie, arrivals by name.
  void index_records();
  /// The first of the records after the one being handled that `settles` holds for, reading
  /// more when the buffer ends; nothing when none does within the look-ahead window.
  template <class Settles>
  std::optional<InotifyRecord> look_ahead(Settles&& settles, long patience_ns = 0);

  FileDescriptor source_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;             // the next record to return
  std::size_t end_ = 0;               // the end of what was read
  std::size_t indexed_end_ = 0;       // the cookie index covers [0, indexed_end_)
  std::size_t peeked_ = 0;            // the record the last peek returned
  std::optional<std::size_t> taken_;  // a record handled out of turn, not returned again
  RenameBarrier barrier_;
  int at_hand_wd_ = -1;               // the directory of the record last returned
  std::size_t at_hand_ = 0;           // and its offset
  std::optional<bool> renames_read_;  // what the barrier gave for the record at hand
  // The last barrier that read all: the records read before it, of its directory, are covered.
  int covered_wd_ = -1;
  std::size_t covered_end_ = 0;
  std::unordered_map<std::uint32_t, std::size_t> moved_to_;  // cookie -> record offset
  std::unordered_map<std::string, std::size_t> arrivals_;    // wd and name -> last offset
  std::int64_t unread_since_ = 0;
  std::optional<std::int64_t> drained_at_;  // taken before a read of this batch that drained
  std::uint64_t reads_ = 0;
  std::uint64_t drained_read_ = 0;
};

}  // namespace vestra::platform
