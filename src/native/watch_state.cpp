#include "native/watch_state.h"

#include <algorithm>
#include <utility>

#include "support/path.h"

namespace vestra {

std::optional<std::string_view> WatchState::relative_to_root(std::string_view path) const {
  std::optional<std::string_view> best;
  std::size_t best_length = 0;
  for (const std::string& root : roots) {
    if (!path_starts_with(path, root) || (best && root.size() <= best_length)) continue;
    std::string_view rest = path.substr(std::min(root.size(), path.size()));
    while (rest.starts_with('/')) rest.remove_prefix(1);
    best = rest;
    best_length = root.size();
  }
  return best;
}

bool WatchState::ignores(std::string_view path) const {
  if (matcher.empty()) return false;
  const std::optional<std::string_view> relative = relative_to_root(path);
  return relative && matcher.ignores(*relative);
}

bool WatchState::skip_directory(const void* info, const char* path, size_t length) {
  return static_cast<const WatchState*>(info)->ignores(std::string_view(path, length));
}

void WatchState::add_filtered(NativeEvent event, Batcher::Clock::time_point now) {
  const bool new_ignored = ignores(event.path);
  const bool old_ignored = event.old_path && ignores(*event.old_path);
  if (!old_ignored && !new_ignored) {
    batcher.add(std::move(event), now);
    return;
  }
  if (!event.old_path || (old_ignored && new_ignored)) return;
  // A rename or exchange with one side ignored is seen from the other side only: what
  // left for an ignored place moved out, what came from one moved in, and the visible
  // side of an exchange lost what it held and gained something else.
  const bool exchange = event.text == "Modify(Name(Other))";
  Path visible = new_ignored ? std::move(*event.old_path) : std::move(event.path);
  event.old_path.reset();
  if (exchange || new_ignored) {
    batcher.add(NativeEvent{"Modify(Name(From))", visible, std::nullopt, event.is_dir}, now);
  }
  if (exchange || old_ignored) {
    batcher.add(NativeEvent{"Modify(Name(To))", std::move(visible), std::nullopt, event.is_dir},
                now);
  }
}

void WatchState::add(std::vector<NativeEvent>& events) {
  const Batcher::Clock::time_point now = Batcher::Clock::now();
  std::lock_guard hold(mutex);
  if (closing) return;
  const bool was_empty = batcher.empty();
  for (NativeEvent& event : events) add_filtered(std::move(event), now);
  if (batcher.empty()) return;
  if (!due && batcher.is_due(now)) {
    due = true;
    ready.raise();
  } else if (was_empty) {
    changed.notify_one();
  }
}

void WatchState::run_timer() {
  std::unique_lock hold(mutex);
  while (!closing) {
    const std::optional<Batcher::Clock::time_point> due_at = batcher.due_at();
    if (!due_at || due) {
      changed.wait(hold);
    } else if (Batcher::Clock::now() >= *due_at) {
      due = true;
      ready.raise();
    } else {
      changed.wait_until(hold, *due_at);
    }
  }
}

}  // namespace vestra
