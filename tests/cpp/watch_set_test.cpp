// The watch set's roles: taken and given back through the set, which forgets a watch, in
// the kernel too, once it plays none.
#include "platform/linux/watch_set.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <atomic>
#include <vector>

#include "platform/linux/file_descriptor.h"
#include "test_support.h"

namespace {

using vestra::platform::FileDescriptor;
using vestra::platform::KernelWatch;
using vestra::platform::Role;
using vestra::platform::WatchSet;

struct Removed : WatchSet::Listener {
  void on_watch_removed(int wd) override { wds.push_back(wd); }
  std::vector<int> wds;
};

/// A watch set over a fresh inotify instance, with one kernel watch on a directory.
struct Set {
  vestra::testing_support::TempDir dir;
  FileDescriptor inotify{::inotify_init1(IN_CLOEXEC)};
  std::atomic<std::size_t> count{0};
  Removed removed;
  WatchSet set{inotify.get(), 100, count, removed};
  int wd = set.add_watch(dir.path().c_str(), IN_MOVE_SELF);
};

// Each role taken is given back once; the watch goes with its last role, at once, or for
// an anchor at the next prune; the kernel's watch goes with it.
TEST(WatchSet, WatchGoesWithItsLastRole) {
  Set s;
  ASSERT_GE(s.wd, 0);
  s.set.take_role(s.wd, s.dir.path(), Role::Ancestor);
  s.set.take_role(s.wd, "ignored: known already", Role::Ancestor);
  s.set.take_role(s.wd, "", Role::Anchor);
  s.set.take_role(s.wd, "", Role::Item, 2);
  EXPECT_EQ(s.set.table().find(s.wd)->name, s.dir.path());
  EXPECT_EQ(s.count, 1u);
  s.set.give_back(s.wd, Role::Item, KernelWatch::Remove, 3);  // another stream path's
  s.set.give_back(s.wd, Role::Ancestor, KernelWatch::Remove);
  s.set.give_back(s.wd, Role::Item, KernelWatch::Remove, 2);
  s.set.give_back(s.wd, Role::Ancestor, KernelWatch::Remove);
  s.set.give_back(s.wd, Role::Ancestor, KernelWatch::Remove);  // none left to give
  ASSERT_NE(s.set.table().find(s.wd), nullptr) << "still an anchor";
  s.set.give_back(s.wd, Role::Anchor, KernelWatch::Remove);
  EXPECT_NE(s.set.table().find(s.wd), nullptr) << "an anchor waits for the prune";
  s.set.prune();
  EXPECT_EQ(s.set.table().find(s.wd), nullptr);
  EXPECT_EQ(s.removed.wds, std::vector<int>{s.wd});
  EXPECT_EQ(s.count, 0u);
  EXPECT_EQ(vestra::testing_support::kernel_watch_count(), 0u);
}

// An anchor given back and taken again before the prune keeps its watch.
TEST(WatchSet, AnchorTakenAgainBeforeThePruneStays) {
  Set s;
  ASSERT_GE(s.wd, 0);
  s.set.take_role(s.wd, s.dir.path(), Role::Anchor);
  s.set.give_back(s.wd, Role::Anchor, KernelWatch::Remove);
  s.set.take_role(s.wd, s.dir.path(), Role::Anchor);
  s.set.prune();
  EXPECT_NE(s.set.table().find(s.wd), nullptr);
  EXPECT_EQ(vestra::testing_support::kernel_watch_count(), 1u);
}

// A watch forgotten while a record is handled is no longer found, counted or visited, but
// stays valid until the record is done; its descriptor, should the kernel hand it out again
// before then, names the new watch in the same storage.
TEST(WatchSet, ForgottenWatchStaysValidUntilTheRecordIsDone) {
  Set s;
  ASSERT_GE(s.wd, 0);
  s.set.take_role(s.wd, s.dir.path(), Role::Ancestor);
  vestra::platform::Watch& watch = *s.set.find(s.wd);
  s.set.give_back(s.wd, Role::Ancestor, KernelWatch::AlreadyGone);
  EXPECT_TRUE(watch.forgotten);
  EXPECT_EQ(s.set.find(s.wd), nullptr);
  EXPECT_EQ(s.count, 0u);
  std::size_t visited = 0;
  s.set.for_each([&](vestra::platform::Watch&) { ++visited; });
  EXPECT_EQ(visited, 0u);
  s.set.take_role(s.wd, "again", Role::Anchor);
  EXPECT_EQ(s.set.find(s.wd), &watch);
  EXPECT_FALSE(watch.forgotten);
  EXPECT_EQ(watch.name, "again");
  EXPECT_EQ(watch.ancestor_count(), 0u);
  s.set.end_record();
  EXPECT_EQ(s.set.find(s.wd), &watch) << "taken again, it is not reclaimed";
  EXPECT_EQ(s.count, 1u);
}

}  // namespace
