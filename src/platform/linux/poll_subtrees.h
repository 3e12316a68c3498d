// The parts of watched trees that are polled instead of watched: remote file systems mounted
// inside them, and directories that the watch limit left without a watch.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/linux/event_batch.h"
#include "platform/linux/poll_choice.h"
#include "platform/linux/poll_snapshot.h"

namespace vestra::platform {

/// Polls subtrees whose paths can change between polls: each is found by its place in the
/// watch table at every poll. Used on the stream's loop thread only.
class PolledSubtrees {
 public:
  /// Where a subtree is: its own watch (a mount point's, which the table moves with renames
  /// of it and above it), or, lacking one (wd -1), its name in the watched directory
  /// `parent_wd`.
  struct Place {
    int wd = -1;
    int parent_wd = -1;
    std::string name;
  };
  struct Subtree {
    Place place;
    Observation why;
    Snapshot last;
  };

  explicit PolledSubtrees(std::chrono::milliseconds interval)
      : interval_(interval), delay_(interval) {}

  void set_interval(std::chrono::milliseconds interval) noexcept { interval_ = delay_ = interval; }
  /// Polls the tree at `path` from now on. With `report`, what it holds now (not its top) is
  /// added there as created.
  void add(Place place, Observation why, const std::string& path, EventBatch* report);
  /// Ends the polling of the subtrees placed by the watch `wd`, as their own or their parent.
  void forget(int wd);
  /// Ends the polling of the subtree placed by `name` in `parent_wd`, if any.
  void forget(int parent_wd, std::string_view name);
  /// Ends the polling of the subtrees whose place `pred` holds for.
  template <class Pred>
  void forget_if(Pred&& pred) {
    std::erase_if(subtrees_, [&](const Subtree& subtree) { return pred(subtree.place); });
  }
  /// Places the subtree polled by `name` in `parent_wd`, if any, by `new_name` in
  /// `new_parent_wd`.
  void move(int parent_wd, std::string_view name, int new_parent_wd, std::string_view new_name);
  /// Whether a subtree is polled by name in `parent_wd`.
  bool contains(int parent_wd, std::string_view name) const;
  bool empty() const noexcept { return subtrees_.empty(); }
  const std::vector<Subtree>& subtrees() const noexcept { return subtrees_; }

  /// Looks at every subtree again, at the path `path_of(place)` gives now, and adds the
  /// records of what changed since the last look.
  template <class PathOf>
  void poll(PathOf&& path_of, EventBatch& out) {
    const auto began = thread_time();
    for (Subtree& subtree : subtrees_) look(subtree, path_of(subtree.place), out);
    settle_delay(began);
  }
  /// When the next poll is due (see PollSet::delay).
  std::chrono::milliseconds delay() const noexcept { return delay_; }

 private:
  static std::chrono::nanoseconds thread_time() noexcept;
  static void look(Subtree& subtree, const std::string& path, EventBatch& out);
  void settle_delay(std::chrono::nanoseconds began) noexcept;

  std::vector<Subtree> subtrees_;
  std::chrono::milliseconds interval_;
  std::chrono::milliseconds delay_;
};

}  // namespace vestra::platform
