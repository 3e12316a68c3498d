// The rename bookkeeping on its own: entries made and settled by hand, in the order that
// records and walks would make and settle them.
#include "platform/linux/rename_book.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using vestra::platform::RenameBook;
using Kind = RenameBook::MoveKind;
using Parking = RenameBook::Parking;

// A note is found by its cookie until kMoveNotes later renames have taken its place; cookie
// 0 (a record that is not a rename) pairs nothing.
TEST(RenameBook, MoveNotesKeepTheLatestRenames) {
  RenameBook book;
  book.remember_move(0, Kind::Item, 1);
  EXPECT_EQ(book.recall_move(0), nullptr);
  for (std::uint32_t cookie = 1; cookie <= RenameBook::kMoveNotes; ++cookie) {
    book.remember_move(cookie, cookie % 2 ? Kind::Item : Kind::DirectoryCarried, cookie);
  }
  const RenameBook::MoveNote* first = book.recall_move(1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->kind, Kind::Item);
  EXPECT_EQ(book.recall_move(2)->kind, Kind::DirectoryCarried);
  book.remember_move(1000, Kind::DirectoryUnwatched, 0);
  EXPECT_EQ(book.recall_move(1), nullptr) << "the oldest note gives way";
  EXPECT_EQ(book.recall_move(1000)->kind, Kind::DirectoryUnwatched);
  EXPECT_NE(book.recall_move(2), nullptr);
}

// A claim is taken once; a later claim of the same watch replaces it; the rename read to the
// claimed place settles it, one to another place does not.
TEST(RenameBook, ClaimsAreSettledOnce) {
  RenameBook book;
  book.claim(5, 1, "old");
  book.claim(5, 2, "new");
  book.claim(6, 2, "other");
  book.moved_to(6, 2, "elsewhere");
  const auto claim = book.take_claim(5);
  ASSERT_TRUE(claim);
  EXPECT_EQ(claim->parent_wd, 2);
  EXPECT_EQ(claim->name, "new");
  EXPECT_FALSE(book.take_claim(5));
  book.moved_to(6, 2, "other");
  EXPECT_FALSE(book.take_claim(6)) << "settled by its rename";
}

// A parked directory is taken by the name it was parked from, once; an exchange waits as
// long as one of its directories is parked.
TEST(RenameBook, ParkedDirectoriesAreTakenByTheirName) {
  RenameBook book;
  book.park(7, 1, "x", Parking::Displaced);
  EXPECT_FALSE(book.exchanging());
  book.park(8, 1, "y", Parking::Exchange);
  EXPECT_TRUE(book.exchanging());
  EXPECT_FALSE(book.take_parked(2, "y"));
  EXPECT_EQ(book.take_parked(1, "y"), 8);
  EXPECT_FALSE(book.take_parked(1, "y"));
  EXPECT_FALSE(book.exchanging());
  EXPECT_EQ(book.take_parked(1, "x"), 7);
}

// Names a walk reported are taken once by the records queued before it. After a walk that
// reported every entry, a removal counts only for a name reported by the walk or by a record
// since; before such a walk, every removal counts.
TEST(RenameBook, FreshNamesMeetTheRecordsQueuedBeforeTheWalk) {
  RenameBook book;
  EXPECT_TRUE(book.reported_since_walk(3, "never-walked"));
  book.note_fresh(3, "a", 1);
  book.note_fresh(-1, "top", 1);  // the top of a tree has no directory to note it in
  EXPECT_TRUE(book.take_fresh(3, "a"));
  EXPECT_FALSE(book.take_fresh(3, "a"));
  EXPECT_FALSE(book.take_fresh(-1, "top"));
  EXPECT_TRUE(book.reported_since_walk(3, "gone")) << "the walk did not report every entry";
  book.note_fresh(3, "b", 1);
  book.note_listed(3, 1);
  book.note_created(3, "c");
  book.note_created(4, "not-walked");
  EXPECT_FALSE(book.reported_since_walk(3, "made-and-gone-before-the-walk"));
  EXPECT_TRUE(book.reported_since_walk(3, "b"));
  EXPECT_FALSE(book.reported_since_walk(3, "b")) << "its removal was counted already";
  EXPECT_TRUE(book.reported_since_walk(3, "c"));
  EXPECT_TRUE(book.reported_since_walk(4, "not-walked"));
}

// Fresh names last until a read that began after the last walk has emptied the queue.
TEST(RenameBook, FreshNamesEndWithTheFirstDrainAfterTheWalk) {
  RenameBook book;
  book.note_fresh(3, "a", 4);
  book.end_batch(4);
  EXPECT_TRUE(book.take_fresh(3, "a")) << "drained by the read the walk ran in";
  book.note_fresh(3, "a", 4);
  book.end_batch(5);
  EXPECT_FALSE(book.take_fresh(3, "a"));
}

// A removed watch takes every entry about it along; lost records end claims, fresh names
// and parked directories, which are handed back to be dropped, but keep the move notes.
TEST(RenameBook, ForgetAndResetLeaveNothingBehind) {
  RenameBook book;
  for (const int wd : {5, 6}) {
    book.claim(wd, 1, "c");
    book.park(wd, 1, "p" + std::to_string(wd), Parking::Exchange);
    book.note_fresh(wd, "f", 1);
    book.note_listed(wd, 1);
  }
  book.remember_move(9, Kind::Item, 0);
  book.forget(5);
  EXPECT_FALSE(book.take_claim(5));
  EXPECT_FALSE(book.take_parked(1, "p5"));
  EXPECT_FALSE(book.take_fresh(5, "f"));
  EXPECT_TRUE(book.reported_since_walk(5, "x"));
  EXPECT_EQ(book.reset(), std::vector<int>{6});
  EXPECT_FALSE(book.take_claim(6));
  EXPECT_FALSE(book.exchanging());
  EXPECT_FALSE(book.take_fresh(6, "f"));
  EXPECT_TRUE(book.reset().empty());
  EXPECT_NE(book.recall_move(9), nullptr);
}

}  // namespace
