#include "platform/linux/poll_set.h"

#include <time.h>

#include <algorithm>

#include "platform/linux/poll_diff.h"

namespace vestra::platform {

namespace {

/// Polling may take this share of one core: the wait after a poll is at least this many
/// times what the poll cost.
constexpr long kIdlePerBusy = 9;

std::chrono::nanoseconds thread_time() noexcept {
  struct timespec now {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

PollSet::PollSet(std::vector<std::string> roots, std::chrono::milliseconds interval)
    : roots_(std::move(roots)), last_(roots_.size()), interval_(interval), delay_(interval) {}

void PollSet::start() {
  look(nullptr);
}

void PollSet::poll(EventBatch& out) {
  look(&out);
}

void PollSet::look(EventBatch* out) {
  const auto began = thread_time();
  entries_ = 0;
  for (std::size_t i = 0; i < roots_.size(); ++i) {
    Snapshot now = take_snapshot(roots_[i], &last_[i]);
    if (out) diff_snapshots(last_[i], now, roots_[i], *out);
    entries_ += now.size();
    last_[i] = std::move(now);
  }
  const auto cost = std::chrono::ceil<std::chrono::milliseconds>(thread_time() - began);
  delay_ = std::max(interval_, cost * kIdlePerBusy);
}

}  // namespace vestra::platform
