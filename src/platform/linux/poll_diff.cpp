#include "platform/linux/poll_diff.h"

#include <atomic>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/record_flags.h"

namespace vestra::platform {

using namespace record_flags;

namespace {

/// What an entry is, as far as renames go: the same object under any name.
struct Key {
  FileIdentity identity;
  EntryType type;
  friend bool operator==(const Key&, const Key&) = default;
};

struct KeyHash {
  std::size_t operator()(const Key& key) const noexcept {
    return std::hash<std::uint64_t>()(key.identity.inode * 31 + key.identity.device) ^
           static_cast<std::size_t>(key.type);
  }
};

constexpr std::uint32_t kFirstPollCookie = 0xF0000000u;
constexpr std::uint32_t kPollCookies = 0x0FFFFFFFu;

Key key_of(const PolledEntry& entry) {
  return Key{entry.status.identity, entry.status.type};
}

FSEventStreamEventFlags type_flag(EntryType type) {
  switch (type) {
    case EntryType::Directory:
      return kIsDir;
    case EntryType::Symlink:
      return kIsSymlink;
    default:
      return kIsFile;
  }
}

std::string_view parent_of(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

/// Whether `path` is `top` or lies below it.
bool within(std::string_view path, std::string_view top) {
  return path.starts_with(top) && (path.size() == top.size() || path[top.size()] == '/');
}

/// The objects found under exactly one name in a snapshot, by key, and the name. Hard links
/// (one object, several names) are left out: which name went where cannot be told.
using Places = std::unordered_map<Key, std::string, KeyHash>;

Places single_places(const Snapshot& snapshot) {
  Places places;
  std::unordered_set<Key, KeyHash> repeated;
  for (const auto& [path, entry] : snapshot) {
    if (path.empty()) continue;
    const Key key = key_of(entry);
    if (!places.emplace(key, path).second) repeated.insert(key);
  }
  for (const Key& key : repeated) places.erase(key);
  return places;
}

/// Replays what the records say over a copy of the earlier tree while choosing them, so
/// that every record fits the tree as the records before it left it.
class Differ {
 public:
  Differ(const Snapshot& before, const Snapshot& after, std::string_view root, EventBatch& out)
      : before_(before), after_(after), root_(root), out_(out) {}

  void run() {
    const auto top_before = before_.find("");
    const auto top_after = after_.find("");
    const bool had = top_before != before_.end();
    const bool has = top_after != after_.end();
    if (had != has || (had && !(key_of(top_before->second) == key_of(top_after->second)))) {
      replace_everything();
      return;
    }
    if (!has) return;
    if (!same_shape() && !only_made_and_removed()) rearrange();
    report_changes();
  }

 private:
  /// A key for the halves of a rename found by comparing snapshots, from a range that the
  /// kernel's rename cookies (counted up from zero since boot) do not reach in practice, so
  /// that it pairs no half of a kernel rename in the same batch.
  static std::uint32_t next_cookie() noexcept {
    static std::atomic<std::uint32_t> next{0};
    return kFirstPollCookie + next.fetch_add(1, std::memory_order_relaxed) % kPollCookies;
  }

  void add(std::string_view path, FSEventStreamEventFlags flags) {
    if (path.empty()) {
      out_.add(root_, flags);
    } else {
      out_.add(root_, path, flags);
    }
  }

  void add_created(std::string_view path, const EntryStatus& status) {
    FSEventStreamEventFlags flags = kCreated | type_flag(status.type);
    if (status.type == EntryType::File && status.links > 1) flags |= kIsHardlink;
    add(path, flags);
    created_.emplace(path);
  }

  /// Something else stands at the top: all of it went and all of it came.
  void replace_everything() {
    for (auto entry = before_.rbegin(); entry != before_.rend(); ++entry) {
      add(entry->first, kRemoved | type_flag(entry->second.status.type));
    }
    for (const auto& [path, entry] : after_) add_created(path, entry.status);
  }

  /// Whether both snapshots hold the same objects under the same names.
  bool same_shape() const {
    if (before_.size() != after_.size()) return false;
    for (auto a = before_.begin(), b = after_.begin(); a != before_.end(); ++a, ++b) {
      if (a->first != b->first || !(key_of(a->second) == key_of(b->second))) return false;
    }
    return true;
  }

  /// The common case, told apart in one pass over both snapshots: objects were made and
  /// others removed, none of them is found under another name, and no directory was
  /// replaced by another. Then the removals, deepest first, and the creations, in path
  /// order, are all there is; false, with nothing reported, otherwise.
  bool only_made_and_removed() {
    std::vector<Snapshot::const_iterator> gone;
    std::vector<Snapshot::const_iterator> made;
    auto a = before_.begin();
    auto b = after_.begin();
    while (a != before_.end() || b != after_.end()) {
      if (b == after_.end() || (a != before_.end() && a->first < b->first)) {
        gone.push_back(a++);
      } else if (a == before_.end() || b->first < a->first) {
        made.push_back(b++);
      } else {
        if (!(key_of(a->second) == key_of(b->second))) {
          if (a->second.status.type == EntryType::Directory ||
              b->second.status.type == EntryType::Directory) {
            return false;
          }
          gone.push_back(a);
          made.push_back(b);
        }
        ++a;
        ++b;
      }
    }
    std::unordered_set<Key, KeyHash> removed;
    for (const auto& entry : gone) removed.insert(key_of(entry->second));
    for (const auto& entry : made) {
      if (removed.contains(key_of(entry->second))) return false;
    }
    for (auto entry = gone.rbegin(); entry != gone.rend(); ++entry) {
      add((*entry)->first, kRemoved | type_flag((*entry)->second.status.type));
    }
    for (const auto& entry : made) add_created(entry->first, entry->second.status);
    return true;
  }

  // --- names and places

  void rearrange() {
    from_ = single_places(before_);
    to_ = single_places(after_);
    for (const auto& [path, entry] : before_) {
      if (path.empty()) continue;
      const Key key = key_of(entry);
      current_.emplace(path, key);
      if (from_.contains(key) && to_.contains(key)) at_[key] = path;
    }
    remove_gone();
    std::vector<const std::string*> pending;
    for (const auto& [path, entry] : after_) {
      if (!path.empty()) pending.push_back(&path);
    }
    while (!pending.empty()) {
      if (!place(pending) && !break_deadlock(pending)) break;
    }
    for (auto entry = current_.rbegin(); entry != current_.rend(); ++entry) {
      if (!after_.contains(entry->first)) {
        add(entry->first, kRemoved | type_flag(entry->second.type));
      }
    }
  }

  /// Removes, deepest first and under the names they had, the objects not found again that
  /// hold nothing found again: reported before any rename, they are named as they were.
  void remove_gone() {
    std::unordered_set<std::string_view> holding;  // directories with something kept below
    for (auto entry = before_.rbegin(); entry != before_.rend(); ++entry) {
      const std::string& path = entry->first;
      if (path.empty()) continue;
      const Key key = key_of(entry->second);
      const auto there = after_.find(path);
      const bool kept =
          at_.contains(key) || (there != after_.end() && key_of(there->second) == key);
      if (kept || holding.contains(path)) {
        holding.insert(parent_of(path));
        continue;
      }
      add(path, kRemoved | type_flag(key.type));
      current_.erase(path);
    }
  }

  /// One pass over the names still to settle, in path order; false when none settled.
  bool place(std::vector<const std::string*>& pending) {
    bool progress = false;
    unsettled_.clear();
    std::size_t kept = 0;
    for (const std::string* path : pending) {
      const bool parent_settled = !unsettled_.contains(parent_of(*path));
      if (parent_settled && holds(*path, key_of(after_.at(*path)))) continue;
      if (parent_settled && free_for(*path)) {
        settle(*path);
        progress = true;
        continue;
      }
      unsettled_.insert(*path);
      pending[kept++] = path;
    }
    pending.resize(kept);
    return progress;
  }

  bool holds(const std::string& path, const Key& key) const {
    const auto found = current_.find(path);
    return found != current_.end() && found->second == key;
  }

  /// Whether what stands at `path` now, if anything, may be pushed out: it is not found
  /// again under another name still to be given to it.
  bool free_for(const std::string& path) const {
    const auto found = current_.find(path);
    return found == current_.end() || !at_.contains(found->second);
  }

  /// Gives `path` the object it has in the later snapshot.
  void settle(const std::string& path) {
    busy_.insert(path);
    settle_now(path);
    busy_.erase(path);
  }

  void settle_now(const std::string& path) {
    if (current_.contains(path)) {
      evacuate(path, nullptr);
      remove_tree(path);
    }
    const PolledEntry& entry = after_.at(path);
    const Key key = key_of(entry);
    if (const auto found = at_.find(key); found != at_.end()) {
      const std::string from = found->second;
      evacuate(from, &path);
      const std::uint32_t cookie = next_cookie();
      add(from, kRenamed | type_flag(key.type));
      out_.mark_rename(cookie, 1);
      add(path, kRenamed | type_flag(key.type));
      out_.mark_rename(cookie, 2);
      move_tree(from, path);
      return;
    }
    add_created(path, entry.status);
    current_.emplace(path, key);
  }

  /// Before the tree at `top` moves to `*to` (or is removed, with a null `to`): what lies
  /// below it and is bound elsewhere goes there first, if it can, and what is gone and holds
  /// nothing kept is removed, so that both are named where they are rather than where the
  /// move would carry them.
  void evacuate(const std::string& top, const std::string* to) {
    std::vector<std::string> leaving;
    auto [first, last] = tree_range(top);
    for (auto entry = first; entry != last; ++entry) {
      if (entry->first == top) continue;
      const auto bound = to_.find(entry->second);
      if (bound == to_.end() || !at_.contains(entry->second)) continue;
      if (!within(bound->second, top) && (!to || !within(bound->second, *to))) {
        leaving.push_back(bound->second);
      }
    }
    for (const std::string& destination : leaving) {
      if (ready_outside(destination, top)) settle(after_.find(destination)->first);
    }
    std::vector<std::string> gone;
    std::unordered_set<std::string> holding;
    std::tie(first, last) = tree_range(top);
    for (auto entry = last; entry != first;) {
      --entry;
      if (entry->first == top) break;
      const std::string& path = entry->first;
      bool kept = at_.contains(entry->second);
      if (to && !kept) {
        const auto carried = after_.find(*to + path.substr(top.size()));
        kept = carried != after_.end() && key_of(carried->second) == entry->second;
      }
      if (kept || holding.contains(path)) {
        holding.emplace(parent_of(path));
        continue;
      }
      add(path, kRemoved | type_flag(entry->second.type));
      gone.push_back(path);
    }
    for (const std::string& path : gone) current_.erase(path);
  }

  /// Whether `path` can be given its object now, with no directory above it inside `top`;
  /// directories above it that are new are made for it.
  bool ready_outside(const std::string& path, const std::string& top) {
    if (within(path, top) || busy_.contains(path)) return false;
    std::vector<const std::string*> above;
    for (std::string_view dir = parent_of(path); !dir.empty(); dir = parent_of(dir)) {
      above.push_back(&after_.find(dir)->first);
    }
    for (auto dir = above.rbegin(); dir != above.rend(); ++dir) {
      const std::string& name = **dir;
      const Key key = key_of(after_.find(name)->second);
      if (within(name, top)) return false;
      if (holds(name, key)) continue;
      if (busy_.contains(name) || at_.contains(key) || !free_for(name)) return false;
      settle(name);
    }
    return free_for(path);
  }

  /// Every name waits for another to move first: objects that traded places. The first
  /// pair that can is exchanged; when none can (one lies inside the other), what blocks
  /// the first name is taken as removed, to be made again where it is found.
  bool break_deadlock(const std::vector<const std::string*>& pending) {
    for (const std::string* path : pending) {
      if (unsettled_.contains(parent_of(*path))) continue;
      const auto mine = at_.find(key_of(after_.at(*path)));
      if (mine == at_.end()) continue;
      const std::string from = mine->second;
      if (within(from, *path) || within(*path, from)) continue;
      const Key other = current_.at(*path);
      const std::uint32_t first = next_cookie();
      const std::uint32_t second = next_cookie();
      add(from, kRenamed | type_flag(mine->first.type));
      out_.mark_rename(first, 1);
      add(*path, kRenamed | type_flag(mine->first.type));
      out_.mark_rename(first, 2);
      add(*path, kRenamed | type_flag(other.type));
      out_.mark_rename(second, 1);
      add(from, kRenamed | type_flag(other.type));
      out_.mark_rename(second, 2);
      out_.mark_exchange(first, 1);
      out_.mark_exchange(second, 2);
      static const std::string aside("\x01");
      move_tree(from, aside);
      move_tree(*path, from);
      move_tree(aside, *path);
      return true;
    }
    for (const std::string* path : pending) {
      if (unsettled_.contains(parent_of(*path))) continue;
      return remove_tree(*path);
    }
    return false;
  }

  /// The first name below `top` (or `top` itself) in the working tree, and the end.
  using Range = std::pair<std::map<std::string, Key, std::less<>>::iterator,
                          std::map<std::string, Key, std::less<>>::iterator>;
  Range tree_range(const std::string& top) {
    auto first = current_.find(top);
    auto last = first;
    if (last != current_.end()) ++last;
    while (last != current_.end() && within(last->first, top)) ++last;
    return Range(first, last);
  }

  bool remove_tree(const std::string& top) {
    auto [first, last] = tree_range(top);
    if (first == last) return false;
    for (auto entry = last; entry != first;) {
      --entry;
      add(entry->first, kRemoved | type_flag(entry->second.type));
      at_.erase(entry->second);
    }
    current_.erase(first, last);
    return true;
  }

  void move_tree(const std::string& from, const std::string& to) {
    auto [first, last] = tree_range(from);
    std::vector<std::pair<std::string, Key>> moved;
    for (auto entry = first; entry != last; ++entry) {
      moved.emplace_back(to + entry->first.substr(from.size()), entry->second);
    }
    current_.erase(first, last);
    for (auto& [path, key] : moved) {
      if (auto found = at_.find(key); found != at_.end()) found->second = path;
      current_.insert_or_assign(std::move(path), key);
    }
  }

  // --- contents and attributes

  void report_changes() {
    // Both snapshots are in path order: the earlier entry under the same name is found by
    // walking them side by side.
    auto same = before_.begin();
    for (const auto& [path, entry] : after_) {
      while (same != before_.end() && same->first < path) ++same;
      if (!created_.empty() && created_.contains(path)) continue;
      const Key key = key_of(entry);
      const PolledEntry* earlier = nullptr;
      bool moved = false;
      if (same != before_.end() && same->first == path && key_of(same->second) == key) {
        earlier = &same->second;
      } else if (const auto from = from_.find(key); from != from_.end() && to_.contains(key)) {
        earlier = &before_.at(from->second);
        moved = true;
      } else {
        continue;
      }
      report_change(path, earlier->status, entry.status, moved);
    }
  }

  void report_change(const std::string& path, const EntryStatus& was, const EntryStatus& now,
                     bool moved) {
    if (was == now) return;
    const bool owner = was.mode != now.mode || was.owner != now.owner || was.group != now.group;
    if (now.type == EntryType::Directory || now.type == EntryType::Symlink) {
      // A directory's times and link count change with what it holds.
      if (owner) add(path, kMetaMod | type_flag(now.type));
      return;
    }
    const bool written = was.size != now.size || was.mtime != now.mtime;
    if (written) add(path, kModified | kIsFile);
    // A rename changes the time of the status change too.
    if (owner || was.links != now.links || (!written && !moved && was.ctime != now.ctime)) {
      add(path, kMetaMod | kIsFile);
    }
  }

  const Snapshot& before_;
  const Snapshot& after_;
  std::string_view root_;
  EventBatch& out_;

  Places from_;  // where objects with one name were
  Places to_;    // where they are
  /// The working tree: the earlier snapshot with the records so far applied.
  std::map<std::string, Key, std::less<>> current_;
  /// Where the working tree has each object that is still to be found under a new name.
  std::unordered_map<Key, std::string, KeyHash> at_;
  std::unordered_set<std::string_view> unsettled_;  // in the pass at hand
  std::unordered_set<std::string> created_;
  std::unordered_set<std::string_view> busy_;  // being given their objects, up the stack
};

}  // namespace

void diff_snapshots(const Snapshot& before, const Snapshot& after, std::string_view root,
                    EventBatch& out) {
  Differ(before, after, root, out).run();
}

}  // namespace vestra::platform
