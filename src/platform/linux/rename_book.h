// What the tree watcher keeps about renames and walks while the records that settle them
// are still queued.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/api/fsevents.h"
#include "platform/linux/watch.h"

namespace vestra::platform {

/// Four kinds of entries, each about a watch by its descriptor:
/// - move notes: what the first half of each recent rename moved, found again by cookie;
/// - claims: where a walk found a watched directory whose rename is still queued;
/// - parked directories: taken from their name until their own record is read;
/// - fresh names: what walks reported of a directory while records about it may be queued.
/// Invariants: a watch has at most one claim; every entry about a watch goes with it
/// (forget); claims, parked directories and fresh names go when records were lost (reset),
/// and fresh names once a read that began after the last walk has emptied the queue
/// (end_batch). Knows nothing of the watch table: the caller looks the descriptors up.
class RenameBook {
 public:
  enum class MoveKind : std::uint8_t { Item, DirectoryCarried, DirectoryUnwatched };
  struct MoveNote {
    std::uint32_t cookie = 0;
    MoveKind kind = MoveKind::Item;
    FSEventStreamEventFlags type = 0;
  };
  /// Where a walk found a watched directory whose rename is still queued.
  struct Claim {
    int parent_wd;
    std::string name;
  };
  /// Why a watched directory was taken from its name before its own record was read: an
  /// exchange, whose second half follows, or a walk that found another directory there.
  enum class Parking : std::uint8_t { Exchange, Displaced };

  /// How many move notes are kept: the oldest gives way to a new one.
  static constexpr std::size_t kMoveNotes = 64;

  RenameBook() : notes_(kMoveNotes) {}

  // Move notes.
  void remember_move(std::uint32_t cookie, MoveKind kind, FSEventStreamEventFlags type);
  /// The note of the rename with `cookie`; none for cookie 0, which pairs nothing.
  const MoveNote* recall_move(std::uint32_t cookie) const;

  // Claims.
  /// Claims the place `name` in `parent_wd` for the watched directory `wd`, in place of any
  /// claim it had.
  void claim(int wd, int parent_wd, std::string name);
  /// Takes the claim of `wd`, if it has one.
  std::optional<Claim> take_claim(int wd);
  /// The rename that moves `wd` to `name` in `parent_wd` has been read: a claim on that very
  /// place is settled by it.
  void moved_to(int wd, int parent_wd, std::string_view name);

  // Parked directories.
  void park(int wd, int parent_wd, std::string name, Parking why);
  /// Takes the directory parked from `name` in `parent_wd`, if any.
  std::optional<int> take_parked(int parent_wd, std::string_view name);
  /// Whether an exchange waits for its second half.
  bool exchanging() const;

  // Fresh names; `read` is the number of the queue's read during which the walk ran.
  /// `name` in the directory of `wd` was reported as created by a walk.
  void note_fresh(int wd, std::string_view name, std::uint64_t read);
  /// A walk reported every entry of the directory of `wd`.
  void note_listed(int wd, std::uint64_t read);
  /// Takes `name` from those a walk reported in `wd`, as a name reported since: true when
  /// it was one.
  bool take_fresh(int wd, std::string_view name);
  /// A record read since the walk reported `name` created in `wd`.
  void note_created(int wd, std::string_view name);
  /// Whether a removal of `name` in `wd` names something the consumer was told of.
  bool reported_since_walk(int wd, std::string_view name);
  /// A read numbered `drained_read` emptied the queue: the fresh names of walks before it
  /// have met every record queued before them.
  void end_batch(std::uint64_t drained_read);

  /// Every entry about `wd` goes: its watch was removed.
  void forget(int wd);
  /// Records were lost: claims and fresh names refer to nothing any more. Returns the
  /// parked directories, which the caller drops.
  std::vector<int> reset();

 private:
  struct Parked {
    int wd;
    int parent_wd;
    std::string name;
    Parking why;
  };
  struct FreshNames {
    NameSet listed;         // reported as created by a walk
    NameSet created;        // reported as created by a record read since
    bool complete = false;  // a walk reported every entry
  };

  std::vector<MoveNote> notes_;
  std::size_t next_note_ = 0;
  std::unordered_map<int, Claim> claims_;  // by the claimed directory's watch
  std::vector<Parked> parked_;
  std::unordered_map<int, FreshNames> fresh_;  // by directory watch
  std::uint64_t fresh_read_ = 0;               // the read of the last walk that noted any
};

}  // namespace vestra::platform
