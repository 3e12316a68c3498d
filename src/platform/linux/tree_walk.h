// Walking directory trees: watching each directory, then listing it, reporting what a walk
// finds as its mode asks.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/api/stream_control.h"
#include "platform/linux/directory_reader.h"
#include "platform/linux/event_batch.h"
#include "platform/linux/file_descriptor.h"
#include "platform/linux/poll_choice.h"
#include "platform/linux/watch_set.h"

namespace vestra::platform {

/// Whether `error`, from opening or watching a path, says that nothing is there now.
inline bool vanished(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

/// Watches the directories of a tree and lists them, one directory at a time, deepest last.
/// Not reentrant: nothing it calls walks again.
class TreeWalk {
 public:
  /// How a walk treats what it finds. Quiet watches it; ReportCreated also reports every
  /// entry as created; Resync watches again after lost events. MovedIn, for a directory
  /// moved in from outside the trees, also reports what changed after Era::unread_since.
  enum class Scan : std::uint8_t { Quiet, ReportCreated, Resync, MovedIn };
  /// Polled: a directory that could not get a watch, polled instead by the host.
  enum class Outcome : std::uint8_t { Watched, Vanished, Failed, Polled };
  /// Whether a subdirectory found by a scan is reported as created once visited.
  enum class Announce : std::uint8_t { No, Yes };
  struct Result {
    Outcome outcome;
    int wd;  // of the top of the walk
  };
  /// Where the watcher stands when a walk starts.
  struct Era {
    /// The number of the last resync; a Resync walk marks what it finds with it.
    std::uint32_t epoch = 0;
    /// When the records not yet read began (see RecordQueue::unread_since).
    std::int64_t unread_since = 0;
  };

  /// What a walk needs of the tree watcher that runs it.
  class Host {
   public:
    /// A watched directory found in `parent` under `name`, open as `fd`, elsewhere than the
    /// table has it. True when the walk is to move it there.
    virtual bool found_elsewhere(Watch& watch, Watch* parent, std::string_view name, int fd,
                                 Scan mode) = 0;
    /// Takes `stale` off its name in `parent_wd`, where the walk found another directory.
    virtual void displace(Watch& stale, int parent_wd) = 0;
    /// `name` in the directory of `wd` was reported as created by the walk.
    virtual void note_fresh(int wd, std::string_view name) = 0;
    /// Every entry of the directory of `wd` is being reported as created.
    virtual void note_listed(int wd) = 0;
    /// `watch`, the root of a remote file system mounted in its parent, is to be polled
    /// from now on, for reason `why`; found by a walk of mode `mode`.
    virtual void start_polling(Watch& watch, Observation why, Scan mode, EventBatch& out) = 0;
    /// The directory at `path` in the directory of `parent_wd` got no watch for the watch
    /// limit. True when the host polls it instead.
    virtual bool poll_unwatchable(int parent_wd, const std::string& path, Scan mode,
                                  EventBatch& out) = 0;
    /// Whether `name` in the directory of `parent_wd` is polled that way already.
    virtual bool polled_by_name(int parent_wd, std::string_view name) const = 0;

   protected:
    ~Host() = default;
  };

  TreeWalk(WatchSet& watches, Host& host) : watches_(watches), host_(host) {}

  /// The stream's control: a walk ends early once a stop is requested, and leaves alone the
  /// subdirectories it says to skip. None by default.
  void set_control(VestraStreamControl* control) noexcept { control_ = control; }
  /// Told whenever the resync number or the start of the unread records changes, so that
  /// every walk starts from where the watcher stands.
  void set_era(Era era) noexcept { era_ = era; }
  /// Whether the control's filter leaves the directory at `path` unwatched.
  bool skips(const std::string& path) const {
    return control_ && control_->skip_directory &&
           control_->skip_directory(control_->skip_info, path.data(), path.size());
  }

  /// Watches the directory at `path`, in `parent_wd` (-1 for the top of a tree of stream
  /// path `root`), and everything below it, then finishes incomplete directories.
  Result walk(std::string path, int parent_wd, std::uint32_t root, Scan mode, EventBatch& out,
              Announce announce = Announce::No);
  /// Lists again the incomplete directories gathered so far, reporting as created what they
  /// hold that has no watch.
  void complete_pending(EventBatch& out);
  /// Incomplete directories to list again, once the walk or rename at hand is done.
  std::vector<int>& to_complete() noexcept { return to_complete_; }

 private:
  /// When an entry found by a MovedIn walk was made or last changed, next to
  /// Era::unread_since.
  enum class Age : std::uint8_t { Older, ChangedSince, BornSince };
  struct PendingDirectory {
    std::string path;
    int parent_wd;
    ino_t inode;          // as the parent's listing gave it; 0 when not known
    std::uint32_t frame;  // the open parent directory in frames_, or kNoFrame
    Scan mode;
    Announce announce;
  };
  /// A directory kept open while its subdirectories are visited, so that they are opened
  /// relative to it.
  struct OpenDirectory {
    FileDescriptor fd;
    std::size_t pending;  // subdirectories not yet visited
  };
  /// A directory being visited, once watched and opened.
  struct Opened {
    FileDescriptor fd;
    int wd = -1;
    long subdirectories = -1;  // what the link count promises, when it does
    struct stat st {};
    /// A subdirectory that a MovedIn scan found, dated from its status once opened.
    bool dated = false;
    struct statx status {};  // when dated
    bool have_status = false;
  };

  Result walk_tree(std::string path, int parent_wd, std::uint32_t root, Scan mode, EventBatch& out,
                   Announce announce);
  Result visit(PendingDirectory& dir, int parent_fd, std::uint32_t root, Scan mode,
               EventBatch& out);
  /// These two watch and open `dir`; nullopt once done, otherwise why the visit ends.
  std::optional<Outcome> watch_and_open_listed(PendingDirectory& dir, int parent_fd, Opened& opened,
                                               EventBatch& out);
  std::optional<Outcome> open_and_watch(PendingDirectory& dir, int parent_fd, Opened& opened,
                                        EventBatch& out);
  bool stat_open(Opened& opened);
  bool already_watched(Watch& watch, Watch* parent, PendingDirectory& dir, std::uint32_t root,
                       Scan mode, int fd);
  Watch& newly_watched(Watch* watch, int wd, Watch* parent, PendingDirectory& dir,
                       std::uint32_t root, Scan mode, EventBatch& out);
  void list(Watch& watch, Opened& opened, Scan mode, EventBatch& out);
  bool polls_mount(Watch& watch, const Watch& parent, const Opened& opened, Scan mode,
                   EventBatch& out);
  void announce(PendingDirectory& dir, EventBatch& out);
  Outcome fail(PendingDirectory& dir, int error, EventBatch& out);
  std::size_t scan(Watch& dir, int dir_fd, Scan mode, long subdirectories, EventBatch& out);
  bool inside(const Watch& parent, int fd, const struct stat& st);
  Age age(const struct statx& status) const;
  Scan date_directory(Watch& watch, const struct statx* status, EventBatch& out);
  unsigned char date_entry(const Watch& dir, const std::string& dir_path, int dir_fd,
                           const DirectoryReader::Entry& entry, EventBatch& out);
  void complete(int wd, EventBatch& out);
  std::vector<std::string> unwatched_subdirectories(const Watch& watch, int fd,
                                                    const std::string& path);
  void adopt(Watch& parent, Watch& child, Scan mode);
  Outcome failed(int error, const std::string& path, EventBatch& out);

  WatchSet& watches_;
  VestraStreamControl* control_ = nullptr;
  Host& host_;
  Era era_;
  DirectoryReader reader_;
  // Scratch storage of one walk at a time, kept between walks.
  std::vector<PendingDirectory> pending_;
  std::vector<OpenDirectory> frames_;
  std::vector<int> to_complete_;
};

}  // namespace vestra::platform
