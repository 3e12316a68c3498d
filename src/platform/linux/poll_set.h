// The trees of a stream that are polled: each compared with its last snapshot at every poll.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/linux/event_batch.h"
#include "platform/linux/poll_snapshot.h"

namespace vestra::platform {

/// Polls the trees at some of a stream's paths. Used on the stream's loop thread only.
class PollSet {
 public:
  /// The trees at `roots` (absolute and normalized), polled every `interval` at most.
  PollSet(std::vector<std::string> roots, std::chrono::milliseconds interval);

  /// Takes the first snapshots, reporting nothing.
  void start();
  /// Looks at every tree again and adds the records of what changed since the last look.
  void poll(EventBatch& out);

  /// When the next poll is due: the interval, stretched while a poll costs so much
  /// processor time that polling would take more than a tenth of one core.
  std::chrono::milliseconds delay() const noexcept { return delay_; }
  /// The entries the last poll looked at, over every tree.
  std::size_t entry_count() const noexcept { return entries_; }
  const std::vector<std::string>& roots() const noexcept { return roots_; }

 private:
  void look(EventBatch* out);

  std::vector<std::string> roots_;
  std::vector<Snapshot> last_;
  std::chrono::milliseconds interval_;
  std::chrono::milliseconds delay_;
  std::size_t entries_ = 0;
};

}  // namespace vestra::platform
