// Watching directory trees with inotify, turning kernel events into stream records.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/cf_url.h"
#include "platform/linux/event_batch.h"
#include "platform/linux/file_descriptor.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/overflow_backoff.h"
#include "platform/linux/poll_subtrees.h"
#include "platform/linux/record_queue.h"
#include "platform/linux/rename_book.h"
#include "platform/linux/stream_paths.h"
#include "platform/linux/tree_walk.h"
#include "platform/linux/watch_set.h"
#include "platform/linux/watch_table.h"

namespace vestra::platform {

/// Watches the trees below a stream's paths with one inotify instance: one watch per
/// directory, symbolic links never followed. Runs on one thread, the stream's loop thread.
class TreeWatcher : private WatchSet::Listener, private TreeWalk::Host {
 public:
  /// Opens an inotify instance for `paths` (absolute and normalized). A path inside another
  /// is covered by that one and gets no watches of its own. At most `max_watches` watches
  /// are added; beyond that, adding fails as the kernel's own limit does. The number of
  /// watches held is published in `watch_count`, which must outlive the watcher. Null, with
  /// errno set, when the instance cannot be made. With a valid `records`, the records are
  /// read from that descriptor instead of the instance (tests feed them by hand).
  static std::unique_ptr<TreeWatcher> open(const std::vector<std::string>& paths,
                                           std::size_t max_watches,
                                           std::atomic<std::size_t>& watch_count,
                                           FileDescriptor records = {});
  ~TreeWatcher();
  TreeWatcher(const TreeWatcher&) = delete;
  TreeWatcher& operator=(const TreeWatcher&) = delete;

  /// The descriptor that records come from: readable when read() has events to translate.
  int fd() const noexcept { return queue_.fd(); }

  /// Watches every tree. Adds records only for what cannot be watched.
  void start(EventBatch& out);

  /// Reads one buffer of kernel events and adds their records. When the kernel queue
  /// overflowed and the resync that follows has to wait, returns how long; resync() is then
  /// due after that delay.
  std::optional<std::chrono::milliseconds> read(EventBatch& out);

  /// Brings the watches back in line with the file system after events were lost: watches
  /// new directories, moves renamed ones, drops vanished ones. Reports no creations.
  void resync(EventBatch& out);

  /// Brings the watches in line with `changes` of the mount table: a file system mounted
  /// inside a tree is watched like a directory moved in (its contents not reported), one
  /// unmounted is reported with what shows at its mount point now, reported as created. A
  /// stream path that a change covers or uncovers is watched again.
  void on_mounts_changed(const std::vector<MountChange>& changes, EventBatch& out);
  /// Whether a directory could not be watched for the watch limit.
  bool watch_limit_reached() const noexcept { return watches_.limit_reached(); }
  /// Hands the stream's control to the walks (see TreeWalk::set_control).
  void set_control(VestraStreamControl* control) noexcept { walk_.set_control(control); }

  /// Looks at the polled subtrees (remote mounts, directories beyond the watch limit) and
  /// adds the records of what changed in them since the last look.
  void poll(EventBatch& out);
  /// Whether any subtree is polled, and when the next poll of them is due.
  bool polls_subtrees() const noexcept { return !subtrees_.empty(); }
  std::chrono::milliseconds poll_delay() const noexcept { return subtrees_.delay(); }
  void set_poll_interval(std::chrono::milliseconds interval) noexcept {
    subtrees_.set_interval(interval);
  }
  /// The polled subtrees where they are now, each with why it is polled.
  std::vector<std::pair<std::string, Observation>> polled_subtrees();
  /// Counts every start and end of the polling of a subtree.
  std::size_t polling_changes() const noexcept { return polling_changes_; }

  /// How many resyncs have run.
  std::size_t resync_count() const noexcept { return resyncs_; }

  /// The watch descriptor of the directory at `path`, -1 when it has none. For tests.
  int watch_of(std::string_view path);

 private:
  using Scan = TreeWalk::Scan;
  using MoveKind = RenameBook::MoveKind;
  using Parking = RenameBook::Parking;
  /// What a rename did to the watched directory found under its old name.
  enum class MoveCheck : std::uint8_t { Moved, Stayed, Elsewhere };

  TreeWatcher(FileDescriptor inotify, FileDescriptor records, const std::vector<std::string>& paths,
              std::size_t max_watches, std::atomic<std::size_t>& watch_count);

  /// The descriptor of the instance that holds the watches.
  int kernel() const noexcept;
  /// Hands the walks the resync number and the start of the unread records, after either
  /// changed.
  void update_era() noexcept { walk_.set_era({epoch_, queue_.unread_since()}); }

  // Kernel events.
  void handle(const InotifyRecord& record, EventBatch& out);
  void on_tree_event(Watch& dir, const InotifyRecord& record, EventBatch& out);
  void on_created(Watch& dir, std::string_view name, bool is_dir, EventBatch& out);
  void on_deleted(Watch& dir, std::string_view name, bool is_dir, EventBatch& out);
  void on_moved_from(Watch& dir, std::string_view name, bool is_dir, std::uint32_t cookie,
                     EventBatch& out);
  void on_moved_to(Watch& dir, std::string_view name, bool is_dir, std::uint32_t cookie,
                   EventBatch& out);
  bool listable_now(const Watch& dir, std::string_view name);
  void depart_first(const Watch& dir, std::string_view name, bool is_dir, std::uint32_t cookie,
                    EventBatch& out);
  void on_unmount(Watch& watch, EventBatch& out);
  void on_ignored(Watch& watch, EventBatch& out);
  void on_tree_ignored(Watch& watch, EventBatch& out);
  void on_overflow(EventBatch& out);
  void drop_unfound();

  // What the watch set and the walks ask of the watcher.
  void on_watch_removed(int wd) override;
  void settle_orphaned_claims(EventBatch& out);
  void displace(Watch& stale, int parent_wd) override;

  // Mounts and unmounts (tree_mounts.cpp).
  void on_mount_change(std::uint32_t index, const MountChange& change, EventBatch& out);
  void on_stream_path_remounted(std::uint32_t index, const MountChange& change, EventBatch& out);
  Watch* watched_directory(std::uint32_t index, std::string_view path);

  // Renames, claims and exchanges (tree_renames.cpp).
  /// `may_exchange`: something is at the rename's old name now, as after an exchange.
  void carry(Watch& moved, std::uint32_t cookie, Watch& target, std::string_view target_name,
             bool may_exchange, EventBatch& out);
  /// Marks the record just added as the `side` half of the rename with `cookie`, and as a
  /// half of an exchange when it is one.
  void mark_rename(std::uint32_t cookie, unsigned side, EventBatch& out);
  /// Notes the renames with cookies `first` and `second` as the two of one exchange.
  /// Whether the rename with `cookie` is known as part `part` (1 or 2, 0 for either) of an
  /// exchange.
  bool exchanging(std::uint32_t cookie, unsigned part = 0) const;
  void remember_exchange(std::uint32_t first, std::uint32_t second, EventBatch& out);
  /// Marks the rename of `name` in `dir` just read as the first half of an exchange when the
  /// queue shows the second right behind it (waited for only when `may_exchange`).
  void note_exchange(const Watch& dir, std::string_view name, std::uint32_t cookie,
                     bool may_exchange, EventBatch& out);
  void park(Watch& watch, int parent_wd, Parking why);
  std::optional<Watch*> take_parked(const Watch& dir, std::string_view name);
  void drop_parked();
  bool found_elsewhere(Watch& watch, Watch* parent, std::string_view name, int fd,
                       Scan mode) override;
  bool settle_claim(Watch& moved, std::uint32_t cookie, EventBatch& out);
  void note_fresh(int wd, std::string_view name) override;
  void note_listed(int wd) override;
  void start_polling(Watch& watch, Observation why, Scan mode, EventBatch& out) override;
  bool poll_unwatchable(int parent_wd, const std::string& path, Scan mode,
                        EventBatch& out) override;
  bool polled_by_name(int parent_wd, std::string_view name) const override {
    return subtrees_.contains(parent_wd, name);
  }
  void retry_blocked(Watch& dir, std::string_view name, EventBatch& out);
  MoveCheck check_move(const Watch& dir, std::string_view name, const Watch& candidate,
                       std::uint32_t cookie, const Watch* target, std::string_view target_name);

  // The instance that holds the watches; it also delivers the records unless tests feed them.
  FileDescriptor inotify_;
  RecordQueue queue_;
  WatchSet watches_;
  TreeWalk walk_;
  StreamPaths paths_;

  RenameBook book_;
  /// Claims of watched directories dropped with a tree they were in, while the place a walk
  /// found them at is still in a tree: settled once the record at hand is done.
  std::vector<RenameBook::Claim> orphaned_claims_;
  std::string entry_path_;  // the path of the entry being created
  /// The directory whose new entries were looked at last, open (O_PATH) until the end of
  /// the read, so that a burst of creations there looks each one up by its name alone. An
  /// open descriptor would keep its file system from being unmounted: none outlives a read.
  int entry_dir_wd_ = -1;
  FileDescriptor entry_dir_;
  int entry_directory(const Watch& dir, const std::string& path);
  void forget_entry_directory() noexcept;
  /// The renames known to make up an exchange, each with its part (1: the first rename, 2:
  /// the second), until their new halves are read.
  std::vector<std::pair<std::uint32_t, unsigned>> exchanges_;

  PolledSubtrees subtrees_{std::chrono::seconds(1)};
  std::size_t polling_changes_ = 0;
  bool started_ = false;
  bool limit_noticed_ = false;

  // Overflow and resync.
  std::uint32_t epoch_ = 0;
  OverflowBackoff backoff_;
  std::optional<std::chrono::milliseconds> requested_delay_;
  std::size_t resyncs_ = 0;
};

}  // namespace vestra::platform
