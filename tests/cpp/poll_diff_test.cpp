// The diff of two snapshots of a tree: hand-built snapshots with the records expected, and a
// model run in which records replayed over the earlier snapshot must give the later one.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/linux/poll_diff.h"
#include "platform/linux/record_flags.h"

namespace vestra::platform {
namespace {

using namespace record_flags;

constexpr std::string_view kRoot = "/w";

/// One entry of a hand-built snapshot: "d" directory, "f" file, "l" symbolic link.
struct Row {
  std::string path;
  char type;
  ino_t inode;
  std::int64_t size = 0;
  mode_t mode = 0644;
  nlink_t links = 1;
};

Snapshot build(const std::vector<Row>& rows) {
  Snapshot snapshot;
  snapshot[""].status = {.identity = {1, 1}, .type = EntryType::Directory, .mode = S_IFDIR | 0755};
  for (const Row& row : rows) {
    EntryStatus& status = snapshot[row.path].status;
    status.identity = {1, row.inode};
    status.type = row.type == 'd'   ? EntryType::Directory
                  : row.type == 'l' ? EntryType::Symlink
                                    : EntryType::File;
    status.size = row.size;
    status.mode = row.mode;
    status.links = row.links;
  }
  return snapshot;
}

std::string describe(FSEventStreamEventFlags flags) {
  std::string text;
  if (flags & kCreated) text += "create ";
  if (flags & kRemoved) text += "remove ";
  if (flags & kRenamed) text += "rename ";
  if (flags & kModified) text += "write ";
  if (flags & kMetaMod) text += "meta ";
  text += flags & kIsDir ? "dir" : flags & kIsSymlink ? "link" : "file";
  if (flags & kIsHardlink) text += "+hardlink";
  return text;
}

std::vector<std::string> records(const Snapshot& before, const Snapshot& after) {
  EventBatch batch;
  diff_snapshots(before, after, kRoot, batch);
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    seen.push_back(describe(batch.flags()[i]) + " " + std::string(batch.path(i)));
  }
  return seen;
}

struct Case {
  const char* intent;
  std::vector<Row> before;
  std::vector<Row> after;
  std::vector<std::string> expected;
};

class DiffTable : public ::testing::TestWithParam<Case> {};

TEST_P(DiffTable, GivesTheRecords) {
  const Case& c = GetParam();
  EXPECT_EQ(records(build(c.before), build(c.after)), c.expected) << c.intent;
}

INSTANTIATE_TEST_SUITE_P(
    Polling, DiffTable,
    ::testing::Values(
        Case{"nothing changed", {{"a", 'f', 2}}, {{"a", 'f', 2}}, {}},
        Case{"a file and a directory with a file in it appear, parents first",
             {},
             {{"d", 'd', 3}, {"d/x", 'f', 4}, {"f", 'f', 2}},
             {"create dir /w/d", "create file /w/d/x", "create file /w/f"}},
        Case{"a tree goes, deepest first",
             {{"d", 'd', 3}, {"d/x", 'f', 4}, {"d/y", 'l', 5}},
             {},
             {"remove link /w/d/y", "remove file /w/d/x", "remove dir /w/d"}},
        Case{"a rename is two halves, old path first",
             {{"a", 'f', 2}},
             {{"b", 'f', 2}},
             {"rename file /w/a", "rename file /w/b"}},
        Case{"a renamed directory carries what it holds",
             {{"d", 'd', 3}, {"d/x", 'f', 4}, {"d/x2", 'd', 5}, {"d/x2/y", 'f', 6}},
             {{"e", 'd', 3}, {"e/x", 'f', 4}, {"e/x2", 'd', 5}, {"e/x2/y", 'f', 6}},
             {"rename dir /w/d", "rename dir /w/e"}},
        Case{"a rename over a file: what it replaced is removed first",
             {{"a", 'f', 2}, {"b", 'f', 3}},
             {{"b", 'f', 2}},
             {"remove file /w/b", "rename file /w/a", "rename file /w/b"}},
        Case{"a rename away, and a new object under the old name",
             {{"a", 'f', 2}},
             {{"a", 'f', 3}, {"b", 'f', 2}},
             {"rename file /w/a", "rename file /w/b", "create file /w/a"}},
        Case{"a move into a directory made since",
             {{"a", 'f', 2}},
             {{"n", 'd', 3}, {"n/m", 'f', 2}},
             {"create dir /w/n", "rename file /w/a", "rename file /w/n/m"}},
        Case{"two objects that traded places are an exchange",
             {{"p", 'd', 2}, {"p/x", 'f', 4}, {"q", 'f', 3}},
             {{"p", 'f', 3}, {"q", 'd', 2}, {"q/x", 'f', 4}},
             {"rename file /w/q", "rename file /w/p", "rename dir /w/p", "rename dir /w/q"}},
        Case{"three in a ring take two exchanges",
             {{"a", 'f', 2}, {"b", 'f', 3}, {"c", 'f', 4}},
             {{"a", 'f', 4}, {"b", 'f', 2}, {"c", 'f', 3}},
             {"rename file /w/c", "rename file /w/a", "rename file /w/a", "rename file /w/c",
              "rename file /w/c", "rename file /w/b", "rename file /w/b", "rename file /w/c"}},
        Case{"a directory moved into a new one under its own name: made again",
             {{"p", 'd', 2}, {"p/x", 'f', 4}},
             {{"p", 'd', 3}, {"p/p", 'd', 2}, {"p/p/x", 'f', 4}},
             {"remove file /w/p/x", "remove dir /w/p", "create dir /w/p", "create dir /w/p/p",
              "create file /w/p/p/x"}},
        Case{"a file replaced by a directory of the same inode number is not a rename",
             {{"a", 'f', 2}},
             {{"a", 'd', 2}},
             {"remove file /w/a", "create dir /w/a"}},
        Case{"a new hard link of a file that stayed",
             {{"a", 'f', 2}},
             {{"a", 'f', 2, 0, 0644, 2}, {"b", 'f', 2, 0, 0644, 2}},
             {"create file+hardlink /w/b", "meta file /w/a"}},
        Case{"a written file, a changed mode, a renamed file written since",
             {{"a", 'f', 2}, {"b", 'f', 3}, {"c", 'f', 4}},
             {{"a", 'f', 2, 5}, {"b", 'f', 3, 0, 0600}, {"d", 'f', 4, 7}},
             {"rename file /w/c", "rename file /w/d", "write file /w/a", "meta file /w/b",
              "write file /w/d"}},
        Case{"a directory's mode is metadata, its size is not a write",
             {{"d", 'd', 2, 10}},
             {{"d", 'd', 2, 20, 0700}},
             {"meta dir /w/d"}},
        Case{"another object at the top: all went, all came",
             {{"a", 'f', 2}},
             {{"a", 'f', 2}, {"", 'd', 9}},
             {"remove file /w/a", "remove dir /w", "create dir /w", "create file /w/a"}}));

// --- the model: random operations on an in-memory tree

/// A consumer that knows the earlier snapshot and applies the records as the README says,
/// failing on a record that does not fit the tree.
class Replay {
 public:
  explicit Replay(const Snapshot& start) {
    for (const auto& [path, entry] : start) tree_.emplace(path, entry.status.identity.inode);
  }

  void apply(EventBatch& batch) {
    const std::uint64_t* marks = batch.rename_marks();
    // The halves of one rename share a key, old name first; an exchange's two renames are
    // marked as its first and second.
    const auto paired = [&](std::size_t at, std::uint64_t exchange_bit) {
      const std::uint64_t key = marks[at] >> 2 & 0xffffffff;
      EXPECT_NE(key, 0u) << batch.path(at);
      EXPECT_EQ(marks[at], key << 2 | 1 | exchange_bit) << batch.path(at);
      EXPECT_EQ(marks[at + 1], key << 2 | 2 | exchange_bit) << batch.path(at + 1);
      return key;
    };
    for (std::size_t i = 0; i < batch.size();) {
      const std::string path = relative(batch.path(i));
      const FSEventStreamEventFlags flags = batch.flags()[i];
      if (flags & kRenamed) {
        ASSERT_LT(i + 1, batch.size()) << "a lone half " << path;
        const std::string to = relative(batch.path(i + 1));
        ASSERT_TRUE(tree_.contains(path)) << "rename of an unknown " << path;
        if (i + 3 < batch.size() && tree_.contains(to) && relative(batch.path(i + 2)) == to &&
            relative(batch.path(i + 3)) == path) {
          move(path, "\x01");
          move(to, path);
          move("\x01", to);
          EXPECT_NE(paired(i, std::uint64_t{1} << 40), paired(i + 2, std::uint64_t{1} << 41));
          ++exchanges;
          i += 4;
          continue;
        }
        ASSERT_FALSE(tree_.contains(to)) << "a rename over a known " << to;
        ASSERT_TRUE(tree_.contains(parent(to))) << "a rename into an unknown " << to;
        move(path, to);
        paired(i, 0);
        ++renames;
        i += 2;
        continue;
      }
      if (flags & kCreated) {
        ASSERT_FALSE(tree_.contains(path)) << "a second creation of " << path;
        ASSERT_TRUE(path.empty() || tree_.contains(parent(path))) << "created in nothing " << path;
        tree_.emplace(path, 0);
      } else if (flags & kRemoved) {
        ASSERT_TRUE(tree_.contains(path)) << "removal of an unknown " << path;
        std::erase_if(tree_, [&](const auto& entry) { return below(entry.first, path); });
      } else {
        ASSERT_TRUE(tree_.contains(path)) << "a change of an unknown " << path;
      }
      ++i;
    }
  }

  std::size_t renames = 0;
  std::size_t exchanges = 0;

  /// The paths known, each with the inode it moved with (0 for what was created).
  const std::map<std::string, ino_t>& tree() const { return tree_; }

 private:
  static std::string relative(std::string_view path) {
    if (path == kRoot) return "";
    return std::string(path.substr(kRoot.size() + 1));
  }
  static std::string parent(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
  }
  static bool below(const std::string& path, const std::string& top) {
    return path == top || (path.starts_with(top) && path[top.size()] == '/') ||
           (top.empty() && !path.empty());
  }
  void move(const std::string& from, const std::string& to) {
    std::map<std::string, ino_t> moved;
    std::erase_if(tree_, [&](const auto& entry) {
      if (!below(entry.first, from)) return false;
      moved.emplace(to + entry.first.substr(from.size()), entry.second);
      return true;
    });
    tree_.merge(moved);
  }

  std::map<std::string, ino_t> tree_;
};

/// Random operations on a tree of snapshot entries, as a file system would do them.
class ModelTree {
 public:
  explicit ModelTree(unsigned seed) : random_(seed) { build({}).swap(tree_); }

  const Snapshot& snapshot() const { return tree_; }

  void step() {
    switch (pick(8)) {
      case 0:
        make(EntryType::File);
        break;
      case 1:
        make(EntryType::Directory);
        break;
      case 2:
        remove();
        break;
      case 3:
      case 4:
        rename();
        break;
      case 5:
        exchange();
        break;
      case 6:
        write();
        break;
      default:
        link();
        break;
    }
  }

 private:
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

  std::vector<std::string> paths(bool directories_only) const {
    std::vector<std::string> found;
    for (const auto& [path, entry] : tree_) {
      if (!directories_only || entry.status.type == EntryType::Directory) found.push_back(path);
    }
    return found;
  }
  std::string any(bool directories_only, bool with_top) {
    std::vector<std::string> found = paths(directories_only);
    if (!with_top) found.erase(found.begin());
    return found.empty() ? "" : found[pick(found.size())];
  }
  std::string fresh_in(const std::string& dir) {
    const std::string name = "n" + std::to_string(++names_);
    return dir.empty() ? name : dir + "/" + name;
  }
  static bool below(const std::string& path, const std::string& top) {
    return path == top || top.empty() || (path.starts_with(top) && path[top.size()] == '/');
  }
  bool empty_dir(const std::string& path) const {
    auto next = tree_.upper_bound(path);
    return next == tree_.end() || !below(next->first, path);
  }

  void make(EntryType type) {
    EntryStatus& status = tree_[fresh_in(any(true, true))].status;
    status.identity = {1, ++inodes_};
    status.type = type;
  }
  void remove() {
    const std::string path = any(false, false);
    if (path.empty()) return;
    const ino_t inode = tree_.at(path).status.identity.inode;
    std::erase_if(tree_, [&](const auto& entry) { return below(entry.first, path); });
    relink(inode);
  }
  void rename() {
    const std::string from = any(false, false);
    if (from.empty()) return;
    const bool is_dir = tree_.at(from).status.type == EntryType::Directory;
    std::string to = fresh_in(any(true, true));
    if (pick(2) == 0) {  // over an existing entry of the same kind (an empty one if a directory)
      const std::string over = any(is_dir, false);
      if (!over.empty() && tree_.at(over).status.type == tree_.at(from).status.type &&
          !below(over, from) && !below(from, over) && (!is_dir || empty_dir(over))) {
        to = over;
      }
    }
    if (below(to, from)) return;
    if (tree_.contains(to)) {
      const ino_t inode = tree_.at(to).status.identity.inode;
      tree_.erase(to);
      relink(inode);
    }
    move(from, to);
  }
  void exchange() {
    const std::string a = any(false, false);
    const std::string b = any(false, false);
    if (a.empty() || b.empty() || below(a, b) || below(b, a)) return;
    move(a, "\x01");
    move(b, a);
    move("\x01", b);
  }
  void write() {
    const std::string path = any(false, false);
    if (path.empty() || tree_.at(path).status.type != EntryType::File) return;
    tree_.at(path).status.size += 1;
  }
  void link() {
    const std::string path = any(false, false);
    if (path.empty() || tree_.at(path).status.type != EntryType::File) return;
    const EntryStatus status = tree_.at(path).status;
    tree_[fresh_in(any(true, true))].status = status;
    relink(status.identity.inode);
  }

  void move(const std::string& from, const std::string& to) {
    Snapshot moved;
    std::erase_if(tree_, [&](auto& entry) {
      if (!below(entry.first, from)) return false;
      moved.emplace(to + entry.first.substr(from.size()), entry.second);
      return true;
    });
    tree_.merge(moved);
  }
  /// Keeps every name of `inode` at its true link count.
  void relink(ino_t inode) {
    nlink_t count = 0;
    for (const auto& [path, entry] : tree_) count += entry.status.identity.inode == inode;
    for (auto& [path, entry] : tree_) {
      if (entry.status.identity.inode == inode) entry.status.links = count;
    }
  }

  std::mt19937 random_;
  Snapshot tree_;
  ino_t inodes_ = 1;
  unsigned names_ = 0;
};

// Replaying the records of each poll over the tree the consumer knows gives the tree of the
// poll, object for object where renames carried them, over many random sequences.
TEST(PollingModel, ReplayGivesTheLaterSnapshot) {
  std::size_t renames = 0;
  std::size_t exchanges = 0;
  for (unsigned seed = 0; seed < 300; ++seed) {
    ModelTree model(seed);
    for (int i = 0; i < 12; ++i) model.step();
    Snapshot earlier = model.snapshot();
    Replay replay(earlier);
    for (int poll = 0; poll < 4; ++poll) {
      for (int i = 0, n = 1 + static_cast<int>(seed % 6); i < n; ++i) model.step();
      const Snapshot& later = model.snapshot();
      EventBatch batch;
      diff_snapshots(earlier, later, kRoot, batch);
      replay.apply(batch);
      ASSERT_FALSE(HasFatalFailure()) << "seed " << seed << " poll " << poll;
      std::vector<std::string> expected;
      std::vector<std::string> seen;
      for (const auto& [path, entry] : later) expected.push_back(path);
      for (const auto& [path, inode] : replay.tree()) {
        seen.push_back(path);
        const auto found = later.find(path);
        if (inode != 0 && found != later.end()) {
          ASSERT_EQ(found->second.status.identity.inode, inode)
              << "another object at " << path << ", seed " << seed << " poll " << poll;
        }
      }
      ASSERT_EQ(seen, expected) << "seed " << seed << " poll " << poll;
      earlier = later;
    }
    renames += replay.renames;
    exchanges += replay.exchanges;
  }
  // The sequences did exercise what the diff has to find.
  EXPECT_GT(renames, 100u);
  EXPECT_GT(exchanges, 20u);
}

}  // namespace
}  // namespace vestra::platform
