// The tree watcher on real directories, with the kernel's records replaced by hand-built ones
// fed through a pipe: each test changes the tree, queues the records the kernel would have
// queued for those changes, and only then lets the watcher read, as a watcher that lags does.
#include "platform/linux/tree_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/event_batch.h"
#include "record_feed.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vestra::platform::EventBatch;
using vestra::platform::TreeWatcher;
using vestra::testing_support::RecordFeed;
using vestra::testing_support::TempDir;
using vestra::testing_support::touch;
using Lines = std::vector<std::string>;

/// A record as "<change><type> <path below the tree>": C created, R removed, N renamed,
/// A attributes, O events lost below the path, X the path itself moved away; d, f, l for a
/// directory, file or symbolic link, h for a file with more than one link.
std::string line(const EventBatch& batch, std::size_t i, const std::string& top) {
  const FSEventStreamEventFlags flags = batch.flags()[i];
  std::string text;
  if (flags & kFSEventStreamEventFlagMustScanSubDirs) text += 'O';
  if (flags & kFSEventStreamEventFlagRootChanged) text += 'X';
  if (flags & kFSEventStreamEventFlagItemCreated) text += 'C';
  if (flags & kFSEventStreamEventFlagItemRemoved) text += 'R';
  if (flags & kFSEventStreamEventFlagItemRenamed) text += 'N';
  if (flags & kFSEventStreamEventFlagItemInodeMetaMod) text += 'A';
  if (flags & kFSEventStreamEventFlagItemIsDir) text += 'd';
  if (flags & kFSEventStreamEventFlagItemIsFile) text += 'f';
  if (flags & kFSEventStreamEventFlagItemIsSymlink) text += 'l';
  if (flags & kFSEventStreamEventFlagItemIsHardlink) text += 'h';
  std::string path(batch.path(i));
  path = path.size() > top.size() ? path.substr(top.size() + 1) : ".";
  return text + " " + path;
}

/// A watcher of `<tmp>/<below>` whose records come from a pipe.
class Fed {
 public:
  /// `before_start`, when given, runs on the top just before the watcher starts; what the
  /// start reports is then in started().
  explicit Fed(const Lines& layout, const std::string& below = "t",
               const std::function<void(const std::string&)>& before_start = {})
      : top_(tmp_ / below) {
    fs::create_directories(top_);
    for (const std::string& entry : layout) {
      if (entry.back() == '/') {
        fs::create_directories(top_ + "/" + entry);
      } else {
        fs::create_directories(fs::path(top_ + "/" + entry).parent_path());
        touch(top_ + "/" + entry);
      }
    }
    watcher_ = TreeWatcher::open({top_}, 1u << 20, count_, feed_.take_reader());
    EXPECT_TRUE(watcher_) << std::strerror(errno);
    if (before_start) before_start(top_);
    watcher_->start(batch_);
    started_ = lines();
    if (!before_start) {
      EXPECT_EQ(started_, Lines{});
    }
  }
  const Lines& started() const { return started_; }

  std::string operator/(const std::string& relative) const { return top_ + "/" + relative; }
  const std::string& tmp() const { return tmp_.path(); }
  int wd(const std::string& relative) { return at(relative.empty() ? top_ : *this / relative); }
  int at(const std::string& path) {
    const int found = watcher_->watch_of(path);
    EXPECT_GE(found, 0) << "no watch for " << path;
    return found;
  }
  RecordFeed& feed() { return feed_; }
  /// Queues the two halves of renaming directory `from` in `from_dir` to `to` in `to_dir`,
  /// and IN_MOVE_SELF on `moved`, the directory's own watch, when it has one.
  void rename_dir(int from_dir, const char* from, int to_dir, const char* to, int moved = -1) {
    ++cookie_;
    feed_.add(from_dir, IN_MOVED_FROM | IN_ISDIR, cookie_, from);
    feed_.add(to_dir, IN_MOVED_TO | IN_ISDIR, cookie_, to);
    if (moved >= 0) feed_.add(moved, IN_MOVE_SELF);
  }
  TreeWatcher& watcher() { return *watcher_; }

  /// Per record of the last read: 1 for a rename's old half, 2 for its new one, else 0.
  std::vector<unsigned> sides() {
    const std::uint64_t* marks = batch_.rename_marks();
    std::vector<unsigned> sides;
    for (std::size_t i = 0; i < batch_.size(); ++i) sides.push_back(marks ? marks[i] & 3 : 0);
    return sides;
  }

  /// What one read of the queued records reports.
  Lines read() {
    batch_.clear();
    watcher_->read(batch_);
    return lines();
  }

 private:
  TempDir tmp_;
  std::string top_;
  RecordFeed feed_;
  std::atomic<std::size_t> count_{0};
  std::unique_ptr<TreeWatcher> watcher_;
  Lines lines() const {
    Lines lines;
    for (std::size_t i = 0; i < batch_.size(); ++i) lines.push_back(line(batch_, i, top_));
    return lines;
  }

  EventBatch batch_;
  Lines started_;
  std::uint32_t cookie_ = 100;  // above the cookies that tests write out
};

constexpr std::uint32_t kDir = IN_ISDIR;

int exchange(const std::string& first, const std::string& second) {
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, first.c_str(), AT_FDCWD,
                                    second.c_str(), 2 /* RENAME_EXCHANGE */));
}

// A directory moved into one made just before: no IN_MOVED_TO, as the new parent had no
// watch yet. The walk of the new parent claims the moved directory, and the lone
// IN_MOVED_FROM settles the claim. On the way the directory passed through a name no watch
// saw (x/b), where a file went: its queued records name no path, so they go with its old
// watches, and the new place is reported as created with what it holds.
TEST(TreeWatcherFed, DirectoryMovedIntoANewDirectoryIsReportedWhereItIs) {
  Fed t({"a/sub/old", "a/f"});
  const int root = t.wd(""), a = t.wd("a"), sub = t.wd("a/sub");
  fs::create_directory(t / "x");
  fs::rename(t / "a", t / "x/b");
  fs::remove(t / "x/b/f");
  fs::rename(t / "x/b", t / "x/a");
  touch(t / "x/a/sub/after");
  t.feed().add(root, IN_CREATE | kDir, 0, "x");
  t.feed().add(root, IN_MOVED_FROM | kDir, 5, "a");
  t.feed().add(a, IN_MOVE_SELF);
  t.feed().add(a, IN_DELETE, 0, "f");
  t.feed().add(a, IN_MOVE_SELF);
  t.feed().add(sub, IN_CREATE, 0, "after");
  Lines read = t.read();
  std::sort(read.begin() + 4, read.end());
  EXPECT_EQ(read,
            (Lines{"Cd x", "Nd a", "Cd x/a", "Cd x/a/sub", "Cf x/a/sub/after", "Cf x/a/sub/old"}));
  EXPECT_NE(t.wd("x/a/sub"), sub);
}

// The creations of one read in one directory are looked up through the directory, opened
// once: each entry is still told apart by its own type.
TEST(TreeWatcherFed, CreationsOfOneReadKeepTheirOwnTypes) {
  Fed t({"d/"});
  const int d = t.wd("d");
  touch(t / "d/f");
  fs::create_symlink("f", t / "d/l");
  fs::create_hard_link(t / "d/f", t / "d/h");
  touch(t / "d/g");
  for (const char* name : {"f", "l", "h", "g"}) t.feed().add(d, IN_CREATE, 0, name);
  EXPECT_EQ(t.read(), (Lines{"Cfh d/f", "Cl d/l", "Cfh d/h", "Cf d/g"}));
}

// Entries that the walk of a new directory reported, whose creation records come after it:
// those records add nothing, and what happens to the entries next is reported in full.
TEST(TreeWatcherFed, EntriesAWalkReportedAheadOfTheirCreationKeepTheirLaterEvents) {
  Fed t({});
  fs::create_directories(t / "d/a");
  touch(t / "d/f");
  t.feed().add(t.wd(""), IN_CREATE | kDir, 0, "d");
  Lines walked = t.read();
  std::sort(walked.begin(), walked.end());
  EXPECT_EQ(walked, (Lines{"Cd d", "Cd d/a", "Cf d/f"}));
  const int d = t.wd("d");
  fs::rename(t / "d/a", t / "d/b");
  fs::remove(t / "d/f");
  t.feed().add(d, IN_CREATE | kDir, 0, "a");
  t.feed().add(d, IN_CREATE, 0, "f");
  t.rename_dir(d, "a", d, "b", t.wd("d/a"));
  t.feed().add(d, IN_DELETE, 0, "f");
  EXPECT_EQ(t.read(), (Lines{"Nd d/a", "Nd d/b", "Rf d/f"}));
}

// A walk that meets a watched directory under a newer name leaves its watch where the queue
// has it: the records queued before its rename keep their old paths.
TEST(TreeWatcherFed, EventsBeforeARenameKeepTheOldPathWhenAWalkSawTheNewOne) {
  Fed t({"C/", "B/f"});
  const int root = t.wd(""), c = t.wd("C"), b = t.wd("B");
  fs::create_directory(t / "C/new");
  fs::rename(t / "C", t / "D");
  fs::rename(t / "B/f", t / "g");
  fs::rename(t / "B", t / "D/B2");
  t.feed().add(c, IN_CREATE | kDir, 0, "new");
  t.rename_dir(root, "C", root, "D", c);
  t.feed().add(b, IN_MOVED_FROM, 2, "f");
  t.feed().add(root, IN_MOVED_TO, 2, "g");
  t.rename_dir(root, "B", c, "B2", b);
  // The walk of C/new lost it to the rename; the listing of D after the rename watches it
  // without reporting it again.
  EXPECT_EQ(t.read(), (Lines{"Cd C/new", "Nd C", "Nd D", "Nf B/f", "Nf g", "Nd B", "Nd D/B2"}));
  EXPECT_GE(t.wd("D/new"), 0);
  EXPECT_EQ(t.wd("D/B2"), b);
}

/// Moves the watched directory B into a new directory, as D/B2, and reads only D's creation:
/// the walk of D finds B there, ahead of its rename, and claims the place.
void claim_b_in_new_d(Fed& t) {
  fs::create_directory(t / "D");
  fs::rename(t / "B", t / "D/B2");
  t.feed().add(t.wd(""), IN_CREATE | kDir, 0, "D");
  EXPECT_EQ(t.read(), Lines{"Cd D"});
}

// A claim lasts only until its rename is read: a walk of D finds B, still watched under its
// old name, at D/B2; the rename read later moves the watch and settles the claim. When the
// directory then leaves the tree, it is reported gone once, and nothing made in it after.
TEST(TreeWatcherFed, ClaimEndsWithTheRenameThatSettlesIt) {
  Fed t({"B/"});
  const int root = t.wd(""), b = t.wd("B");
  claim_b_in_new_d(t);
  t.rename_dir(root, "B", t.wd("D"), "B2", b);
  EXPECT_EQ(t.read(), (Lines{"Nd B", "Nd D/B2"}));
  EXPECT_EQ(t.wd("D/B2"), b);
  fs::rename(t / "D/B2", t.tmp() + "/out");
  touch(t.tmp() + "/out/late");
  t.feed().add(t.wd("D"), IN_MOVED_FROM | kDir, 7, "B2");
  t.feed().add(b, IN_MOVE_SELF);
  t.feed().add(b, IN_CREATE, 0, "late");
  EXPECT_EQ(t.read(), Lines{"Nd D/B2"});
  EXPECT_EQ(t.watcher().watch_of(t / "D/B2"), -1);
}

// A claimed directory that has left the claimed place again by the time its lone old half
// is read arrives there by that rename: the two halves pair up, and its watch goes along.
TEST(TreeWatcherFed, ClaimedDirectoryThatLeftItsPlaceAgainPairsWithItsOldName) {
  Fed t({"B/"});
  const int root = t.wd(""), b = t.wd("B");
  claim_b_in_new_d(t);
  const int d = t.wd("D");
  fs::rename(t / "D/B2", t / "D/B3");
  t.feed().add(root, IN_MOVED_FROM | kDir, 1, "B");
  t.feed().add(b, IN_MOVE_SELF);
  t.rename_dir(d, "B2", d, "B3", b);
  EXPECT_EQ(t.read(), (Lines{"Nd B", "Nd D/B2", "Nd D/B2", "Nd D/B3"}));
  EXPECT_EQ(t.sides(), (std::vector<unsigned>{1, 2, 1, 2}));
  EXPECT_EQ(t.wd("D/B3"), b);
}

// A directory that a walk found at a new place while its rename was still queued, inside a
// tree that then goes as a whole (the tree's own lone old half settles it), is reported where
// it is, with what it holds, and stays watched.
TEST(TreeWatcherFed, ClaimedDirectoryOfATreeThatGoesIsReportedWhereItIs) {
  Fed t({"C/D/"});
  const int root = t.wd(""), c = t.wd("C"), d = t.wd("C/D");
  fs::create_directory(t / "N");
  fs::rename(t / "C", t / "N/C2");
  fs::create_directory(t / "N/M");
  fs::rename(t / "N/C2/D", t / "N/M/D2");
  touch(t / "N/M/D2/f");
  t.feed().add(root, IN_CREATE | kDir, 0, "N");
  const Lines walked = t.read();
  EXPECT_EQ(std::count(walked.begin(), walked.end(), "Cd N/M/D2"), 0) << "claimed, not new";
  t.feed().add(root, IN_MOVED_FROM | kDir, 9, "C");
  t.feed().add(c, IN_MOVE_SELF);
  const Lines settled = t.read();
  for (const char* line : {"Nd C", "Cd N/C2", "Cd N/M/D2", "Cf N/M/D2/f"}) {
    EXPECT_EQ(std::count(settled.begin(), settled.end(), line), 1) << line;
  }
  EXPECT_GE(t.wd("N/M/D2"), 0);
  EXPECT_NE(t.wd("N/M/D2"), d);
}

// An exchange queues two renames, each onto the other's name, reported as they come: P, Q
// then Q, P. Both trees stay watched under their new names.
TEST(TreeWatcherFed, ExchangeOfTwoWatchedDirectoriesKeepsBothTrees) {
  Fed t({"X/x1/", "Y/y1/"});
  const int root = t.wd(""), x = t.wd("X"), y = t.wd("Y");
  ASSERT_EQ(exchange(t / "X", t / "Y"), 0);
  touch(t / "Y/new");
  t.rename_dir(root, "X", root, "Y", x);
  t.rename_dir(root, "Y", root, "X", y);
  t.feed().add(x, IN_CREATE, 0, "new");
  EXPECT_EQ(t.read(), (Lines{"Nd X", "Nd Y", "Nd Y", "Nd X", "Cf Y/new"}));
  EXPECT_EQ(t.wd("Y"), x);
  EXPECT_EQ(t.wd("X"), y);
  EXPECT_GE(t.wd("X/y1"), 0);
  EXPECT_GE(t.wd("Y/x1"), 0);
}

// An exchange of a directory with one whose new entry was lost to it by a walk: the entry,
// reported already, is listed again only after both halves, and not reported again.
TEST(TreeWatcherFed, ExchangeKeepsItsFourHalvesTogether) {
  Fed t({"n5/f/", "a/"});
  const int root = t.wd(""), n5 = t.wd("n5"), f = t.wd("n5/f"), a = t.wd("a");
  fs::create_directory(t / "n5/f/n11");
  ASSERT_EQ(exchange(t / "n5/f", t / "a"), 0);
  t.feed().add(f, IN_CREATE | kDir, 0, "n11");
  t.rename_dir(n5, "f", root, "a", f);
  t.rename_dir(root, "a", n5, "f", a);
  EXPECT_EQ(t.read(), (Lines{"Cd n5/f/n11", "Nd n5/f", "Nd a", "Nd a", "Nd n5/f"}));
  EXPECT_GE(t.wd("a/n11"), 0);
}

// A walk that watched a directory under a name ahead of the queue does not make it the one
// that an exchange queued earlier moves: only a directory whose IN_MOVE_SELF follows moves.
// Here B took n8 after the exchange of c and n8 moved A, never watched, to c.
TEST(TreeWatcherFed, ExchangeMovesOnlyTheDirectoryThatMoved) {
  Fed t({"c/"});
  const int root = t.wd(""), c = t.wd("c");
  fs::create_directories(t / "n8/a_only");
  fs::create_directories(t / "x/b_only");
  ASSERT_EQ(exchange(t / "c", t / "n8"), 0);
  ASSERT_EQ(exchange(t / "n8", t / "x"), 0);
  t.feed().add(root, IN_CREATE | kDir, 0, "n8");
  t.rename_dir(root, "c", root, "n8", c);
  t.rename_dir(root, "n8", root, "c");
  t.read();
  EXPECT_GE(t.wd("c/a_only"), 0);
  EXPECT_EQ(t.watcher().watch_of(t / "c/b_only"), -1);
}

// An exchange with a directory that has no watch yet queues the arrival under the watched
// name before the departure of the watched directory, which the walk of its new place has
// claimed: the departure is reported first, or the arrival would seem to leave again. Both
// trees stay watched, the claimed one reported where it is now.
TEST(TreeWatcherFed, ExchangeWithAnUnwatchedDirectoryKeepsBothWatched) {
  Fed t({"a/sub/d/"});
  const int root = t.wd(""), a = t.wd("a"), sub = t.wd("a/sub");
  fs::create_directories(t / "n9/n10/n11");
  ASSERT_EQ(exchange(t / "n9/n10/n11", t / "a/sub"), 0);
  t.feed().add(root, IN_CREATE | kDir, 0, "n9");
  t.feed().add(a, IN_MOVED_TO | kDir, 1, "sub");
  t.feed().add(a, IN_MOVED_FROM | kDir, 2, "sub");
  t.feed().add(sub, IN_MOVE_SELF);
  EXPECT_EQ(t.read(), (Lines{"Cd n9", "Cd n9/n10", "Nd a/sub", "Cd n9/n10/n11", "Cd n9/n10/n11/d",
                             "Nd a/sub"}));
  EXPECT_EQ(t.sides(), (std::vector<unsigned>{0, 0, 1, 0, 0, 2}));
  EXPECT_GE(t.wd("n9/n10/n11/d"), 0);
  EXPECT_NE(t.wd("a/sub"), sub);
}

// A new directory is listed where it is once no record still queued puts something else at
// its name: here it moved to y and another x came, which the first listing would have taken
// for it (and reported its file as y/z).
TEST(TreeWatcherFed, NewDirectoryIsListedWhereItWentWhenItsNameWasTakenAgain) {
  Fed t({});
  const int root = t.wd("");
  fs::create_directories(t / "x/inner");
  fs::rename(t / "x", t / "y");
  fs::create_directories(t / "x");
  touch(t / "x/z");
  t.feed().add(root, IN_CREATE | kDir, 0, "x");
  t.rename_dir(root, "x", root, "y");
  t.feed().add(root, IN_CREATE | kDir, 0, "x");
  EXPECT_EQ(t.read(), (Lines{"Cd x", "Nd x", "Nd y", "Cd y/inner", "Cd x", "Cf x/z"}));
}

// The same with a directory whose watch went with its tree (moved out of it) before the
// records of its exchange with a watched file were read: the file leaves first.
TEST(TreeWatcherFed, ExchangeWithADirectoryWhoseWatchWentReportsTheDepartureFirst) {
  Fed t({"m/d/", "f"});
  const int root = t.wd(""), m = t.wd("m"), d = t.wd("m/d");
  fs::rename(t / "m", t.tmp() + "/m");
  ASSERT_EQ(exchange(t.tmp() + "/m/d", t / "f"), 0);
  t.feed().add(root, IN_MOVED_FROM | kDir, 1, "m");
  t.feed().add(m, IN_MOVE_SELF);
  t.feed().add(m, IN_MOVED_FROM | kDir, 2, "d");
  t.feed().add(root, IN_MOVED_TO | kDir, 2, "f");
  t.feed().add(d, IN_MOVE_SELF);
  t.feed().add(root, IN_MOVED_FROM, 3, "f");
  t.feed().add(m, IN_MOVED_TO, 3, "d");
  EXPECT_EQ(t.read(), (Lines{"Nd m", "Nf f", "Nd f"}));
  EXPECT_EQ(t.sides(), (std::vector<unsigned>{1, 1, 2}));
}

// An exchange of a watched directory with a new one not listed yet (the exchange puts
// something else at its name): the new one's half does not take the watch just moved to its
// name, which stays on the directory wherever it goes next.
TEST(TreeWatcherFed, ExchangeWithANewDirectoryKeepsTheWatchedOnesWatch) {
  Fed t({"a/"});
  const int root = t.wd(""), a = t.wd("a");
  fs::create_directories(t / "x");
  ASSERT_EQ(exchange(t / "a", t / "x"), 0);
  fs::rename(t / "x", t / "y");
  t.feed().add(root, IN_CREATE | kDir, 0, "x");
  t.rename_dir(root, "a", root, "x", a);
  t.rename_dir(root, "x", root, "a");
  t.rename_dir(root, "x", root, "y", a);
  t.read();
  EXPECT_EQ(t.wd("y"), a);
  EXPECT_GE(t.wd("a"), 0);
}

// Exchanged with a file, the directory's watch moves to the file's name and with it later.
TEST(TreeWatcherFed, ExchangeWithAFileMovesTheWatchAlong) {
  Fed t({"a/", "f"});
  const int root = t.wd(""), a = t.wd("a");
  ASSERT_EQ(exchange(t / "a", t / "f"), 0);
  fs::rename(t / "f", t / "y");
  t.rename_dir(root, "a", root, "f", a);
  t.feed().add(root, IN_MOVED_FROM, 1, "f");
  t.feed().add(root, IN_MOVED_TO, 1, "a");
  t.rename_dir(root, "f", root, "y", a);
  t.read();
  EXPECT_EQ(t.wd("y"), a);
}

// What a walk of a new directory reports is not reported again by the records queued
// before the walk, and what the walk could not see (made and gone before it) is not
// reported gone; records after those are reported as they come.
TEST(TreeWatcherFed, CreationsReportedByAWalkAreNotReportedTwice) {
  Fed t({});
  fs::create_directories(t / "d/e");
  touch(t / "d/f");
  t.feed().add(t.wd(""), IN_CREATE | kDir, 0, "d");
  Lines first = t.read();
  std::sort(first.begin() + 1, first.end());
  EXPECT_EQ(first, (Lines{"Cd d", "Cd d/e", "Cf d/f"}));
  const int d = t.wd("d");
  t.feed().add(d, IN_CREATE | kDir, 0, "e");
  t.feed().add(d, IN_CREATE, 0, "f");
  // Made before the watch, gone before the listing: no record of their making.
  t.feed().add(d, IN_DELETE, 0, "brief");
  t.feed().add(d, IN_MOVED_FROM, 9, "moved");
  EXPECT_EQ(t.read(), Lines{});
  fs::remove(t / "d/f");
  touch(t / "d/f");
  t.feed().add(d, IN_DELETE, 0, "f");
  t.feed().add(d, IN_CREATE, 0, "f");
  EXPECT_EQ(t.read(), (Lines{"Rf d/f", "Cf d/f"}));
}

// An overflow in the middle of a batch is reported in its place; the records before and
// after it are reported as they come.
TEST(TreeWatcherFed, OverflowInTheMiddleOfABatch) {
  Fed t({});
  touch(t / "f1");
  touch(t / "f2");
  const int root = t.wd("");
  t.feed().add(root, IN_CREATE, 0, "f1");
  t.feed().add(-1, IN_Q_OVERFLOW);
  t.feed().add(root, IN_CREATE, 0, "f2");
  EXPECT_EQ(t.read(), (Lines{"Cf f1", "O .", "Cf f2"}));
  EXPECT_EQ(t.watcher().resync_count(), 1u);
}

/// Drops the calling thread's override of file permissions while it lives.
class WithoutPermissionOverride {
 public:
  WithoutPermissionOverride() {
    ::syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ::syscall(SYS_capset, &header_, lowered);
  }
  ~WithoutPermissionOverride() { ::syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

// A subdirectory made while its parent could not be searched is watched once the parent's
// permissions change, and what it holds then is reported.
TEST(TreeWatcherFed, SubdirectoryOfAnUnsearchableDirectoryIsWatchedOnceReadable) {
  Fed t({"later/"});
  const int root = t.wd(""), later = t.wd("later");
  ::chmod((t / "later").c_str(), 0);
  fs::create_directory(t / "later/sub");
  {
    WithoutPermissionOverride unprivileged;
    t.feed().add(root, IN_ATTRIB | kDir, 0, "later");
    t.feed().add(later, IN_CREATE | kDir, 0, "sub");
    EXPECT_EQ(t.read(), (Lines{"Ad later", "Cd later/sub", "O later/sub"}));
    ::chmod((t / "later").c_str(), 0755);
    touch(t / "later/sub/file");
    t.feed().add(root, IN_ATTRIB | kDir, 0, "later");
    EXPECT_EQ(t.read(), (Lines{"Ad later", "Cf later/sub/file"}));
  }
  EXPECT_GE(t.wd("later/sub"), 0);
}

// The top of the tree made unreadable and readable again keeps its watches: what changes
// in it afterwards is reported.
TEST(TreeWatcherFed, TopMadeUnreadableAndReadableAgainStaysWatched) {
  Fed t({"sub/"});
  const int root = t.wd(""), sub = t.wd("sub");
  WithoutPermissionOverride unprivileged;
  ::chmod((t / "").c_str(), 0);
  t.feed().add(root, IN_ATTRIB | kDir);
  EXPECT_EQ(t.read(), Lines{"Ad ."});
  ::chmod((t / "").c_str(), 0755);
  touch(t / "sub/after");
  t.feed().add(root, IN_ATTRIB | kDir);
  t.feed().add(sub, IN_CREATE, 0, "after");
  EXPECT_EQ(t.read(), (Lines{"Ad .", "Cf sub/after"}));
}

// A top that cannot be read at the start is reported once, and watched as soon as its
// permissions let it be read: through its parent, which tells of the change.
TEST(TreeWatcherFed, TopUnreadableAtTheStartIsWatchedOnceReadable) {
  WithoutPermissionOverride unprivileged;
  Fed t({"sub/f"}, "t", [](const std::string& top) { ::chmod(top.c_str(), 0); });
  EXPECT_EQ(t.started(), Lines{"O ."});
  const int parent = t.at(t.tmp());
  // Changes of other entries of the parent are none of its business.
  t.feed().add(parent, IN_ATTRIB, 0, "other");
  EXPECT_EQ(t.read(), Lines{});
  ::chmod((t / "").c_str(), 0755);
  t.feed().add(parent, IN_ATTRIB | kDir, 0, "t");
  Lines read = t.read();
  std::sort(read.begin(), read.end());
  EXPECT_EQ(read, (Lines{"Cd .", "Cd sub", "Cf sub/f"}));
  EXPECT_GE(t.wd("sub"), 0);
}

// Renaming a directory above the watched path moves the path away: reported as the path's
// own move, after which its old watches say nothing, and the path is watched again once it
// exists again.
TEST(TreeWatcherFed, AncestorMovedAwayIsReportedAsThePathMovingAway) {
  Fed t({"d/"}, "p/root");
  const int p = t.at(t.tmp() + "/p"), root = t.wd("");
  fs::rename(t.tmp() + "/p", t.tmp() + "/p2");
  touch(t.tmp() + "/p2/root/after");
  t.feed().add(p, IN_MOVE_SELF);
  t.feed().add(root, IN_CREATE, 0, "after");
  EXPECT_EQ(t.read(), Lines{"X ."});
  fs::create_directories(t / "d");
  t.feed().add(t.at(t.tmp()), IN_CREATE | kDir, 0, "p");
  EXPECT_EQ(t.read(), (Lines{"Cd .", "Cd d"}));
}

}  // namespace
