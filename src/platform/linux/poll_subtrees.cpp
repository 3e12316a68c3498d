#include "platform/linux/poll_subtrees.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "platform/linux/poll_diff.h"

namespace vestra::platform {

namespace {

// As for PollSet: polling takes at most a tenth of one core.
constexpr long kIdlePerBusy = 9;

}  // namespace

std::chrono::nanoseconds PolledSubtrees::thread_time() noexcept {
  struct timespec now {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void PolledSubtrees::add(Place place, Observation why, const std::string& path,
                         EventBatch* report) {
  Subtree& subtree = subtrees_.emplace_back(Subtree{std::move(place), why, take_snapshot(path)});
  if (!report) return;
  // The top was reported by the walk that found it; what it holds is new.
  Snapshot top_only;
  if (const auto top = subtree.last.find(""); top != subtree.last.end()) {
    top_only.emplace(top->first, PolledEntry{top->second.status, {}, false});
  }
  diff_snapshots(top_only, subtree.last, path, *report);
}

void PolledSubtrees::forget(int wd) {
  std::erase_if(subtrees_, [&](const Subtree& subtree) {
    return subtree.place.wd == wd || (subtree.place.wd == -1 && subtree.place.parent_wd == wd);
  });
}

void PolledSubtrees::forget(int parent_wd, std::string_view name) {
  std::erase_if(subtrees_, [&](const Subtree& subtree) {
    return subtree.place.wd == -1 && subtree.place.parent_wd == parent_wd &&
           subtree.place.name == name;
  });
}

void PolledSubtrees::move(int parent_wd, std::string_view name, int new_parent_wd,
                          std::string_view new_name) {
  forget(new_parent_wd, new_name);  // what the rename replaced
  for (Subtree& subtree : subtrees_) {
    Place& place = subtree.place;
    if (place.wd == -1 && place.parent_wd == parent_wd && place.name == name) {
      place.parent_wd = new_parent_wd;
      place.name = new_name;
      return;
    }
  }
}

bool PolledSubtrees::contains(int parent_wd, std::string_view name) const {
  return std::ranges::any_of(subtrees_, [&](const Subtree& subtree) {
    return subtree.place.wd == -1 && subtree.place.parent_wd == parent_wd &&
           subtree.place.name == name;
  });
}

void PolledSubtrees::look(Subtree& subtree, const std::string& path, EventBatch& out) {
  if (path.empty()) return;
  // Another directory at the path, or none, means a rename (or removal) above it whose
  // records are not read yet: they tell where it went, and it is looked at there.
  if (const auto top = subtree.last.find(""); top != subtree.last.end()) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || FileIdentity::of(st) != top->second.status.identity) {
      return;
    }
  }
  Snapshot now = take_snapshot(path, &subtree.last);
  diff_snapshots(subtree.last, now, path, out);
  subtree.last = std::move(now);
}

void PolledSubtrees::settle_delay(std::chrono::nanoseconds began) noexcept {
  const auto cost = std::chrono::ceil<std::chrono::milliseconds>(thread_time() - began);
  delay_ = std::max(interval_, cost * kIdlePerBusy);
}

}  // namespace vestra::platform
