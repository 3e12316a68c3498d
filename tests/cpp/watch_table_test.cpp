// The watch table: names under parents, paths built on demand, moves and the child index.
#include "platform/linux/watch_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vestra::platform::Watch;
using vestra::platform::WatchTable;

/// A tree /t/a/b/c with watch descriptors 1 to 4.
struct Tree {
  WatchTable table;
  Watch &top = table.insert(1, "/t"), &a = table.insert(2, "a"), &b = table.insert(3, "b"),
        &c = table.insert(4, "c");
  Tree() {
    top.root = a.root = b.root = c.root = 0;
    table.link(top, a);
    table.link(a, b);
    table.link(b, c);
  }
};

// A move renames one watch: what lies below follows without being touched, and the
// incomplete watches below are found for listing again.
TEST(WatchTable, MoveChangesOneNameAndPathsBelowFollow) {
  Tree t;
  t.table.set_incomplete(t.c, true);
  EXPECT_EQ(t.table.path(t.c), "/t/a/b/c");
  std::vector<int> incomplete;
  t.table.move(t.a, &t.top, "x", 0, &incomplete);
  EXPECT_EQ(t.table.path(t.c), "/t/x/b/c");
  EXPECT_EQ(t.table.child(t.top, "a"), nullptr);
  EXPECT_EQ(t.table.child(t.top, "x"), &t.a);
  EXPECT_EQ(incomplete, std::vector<int>{4});
  t.table.move(t.b, nullptr, "/elsewhere/b", 1);
  EXPECT_EQ(t.table.path(t.c), "/elsewhere/b/c");
  EXPECT_EQ(t.c.root, 1u) << "moved to another stream path's tree";
}

// Detaching takes a subtree out of the index, parents first; a watch that keeps another
// role keeps its whole path.
TEST(WatchTable, DetachEmptiesTheSubtreeAndKeepsPathsOfOtherRoles) {
  Tree t;
  t.b.more().anchor_count = 1;
  std::vector<int> wds;
  t.table.detach(t.a, wds);
  EXPECT_EQ(wds, (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(t.table.child(t.top, "a"), nullptr);
  EXPECT_EQ(t.b.name, "/t/a/b");
  EXPECT_FALSE(t.c.in_tree());
  EXPECT_TRUE(t.b.has_role());
}

// The child index and the slots hold many entries through growth, erasure and reuse.
TEST(WatchTable, ManyChildrenAreFoundThroughGrowthAndErasure) {
  WatchTable table;
  Watch& top = table.insert(1, "/t");
  constexpr int kChildren = 3000;
  for (int i = 0; i < kChildren; ++i) {
    table.link(top, table.insert(i + 2, "d" + std::to_string(i)));
  }
  for (int i = 0; i < kChildren; i += 2) {
    std::vector<int> wds;
    table.detach(*table.find(i + 2), wds);
    table.erase(i + 2);
  }
  EXPECT_EQ(table.size(), 1u + kChildren / 2);
  for (int i = 0; i < kChildren; ++i) {
    const Watch* found = table.child(top, "d" + std::to_string(i));
    ASSERT_EQ(found != nullptr, i % 2 == 1) << i;
    if (found) {
      EXPECT_EQ(found->wd, i + 2);
    }
  }
  table.link(top, table.insert(2, "d0"));
  EXPECT_EQ(table.child(top, "d0"), table.find(2));
}

}  // namespace
