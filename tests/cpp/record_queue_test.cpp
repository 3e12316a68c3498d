// The record queue fed by hand through a pipe: reads, lookahead and cut records.
#include "platform/linux/record_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record_feed.h"

namespace {

using vestra::platform::InotifyRecord;
using vestra::platform::RecordQueue;
using vestra::testing_support::record_bytes;
using vestra::testing_support::RecordFeed;

std::vector<std::string> drain(RecordQueue& queue) {
  std::vector<std::string> seen;
  while (const auto record = queue.next()) {
    seen.push_back(std::to_string(record->wd) + ":" + std::string(record->name));
  }
  return seen;
}

// The second half of a rename, not yet read when the first is handled, is read on demand
// and still comes out of next() in its turn.
TEST(RecordQueue, FindsTheSecondHalfOfARenameSplitAcrossTwoReads) {
  RecordFeed feed;
  RecordQueue queue(feed.take_reader());
  feed.add(1, IN_MOVED_FROM, 7, "old");
  ASSERT_TRUE(queue.fill());
  ASSERT_EQ(queue.next()->name, "old");
  EXPECT_FALSE(queue.find_moved_to(7)) << "nothing queued yet";
  feed.add(2, IN_MOVED_TO, 7, "new");
  const auto half = queue.find_moved_to(7);
  ASSERT_TRUE(half);
  EXPECT_EQ(half->wd, 2);
  EXPECT_EQ(half->name, "new");
  EXPECT_EQ(drain(queue), std::vector<std::string>{"2:new"});
  queue.finish();
  // With records still unread, a second half is read for only when it is due.
  feed.add(1, IN_MOVED_FROM, 8, "a");
  feed.add(3, IN_CREATE, 0, "other");
  ASSERT_TRUE(queue.fill());
  queue.next();
  feed.add(2, IN_MOVED_TO, 8, "b");
  EXPECT_FALSE(queue.find_moved_to(8));
  EXPECT_TRUE(queue.find_moved_to(8, true));
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"3:other", "2:b"}));
}

// Behind the barrier of the record at hand's directory, every rename under way there has
// queued its new half: it is read for at once, even with other records read after the old
// half, and the old halves read before the barrier are covered by it. A barrier that cannot
// tell leaves the search to the records read.
TEST(RecordQueue, BehindTheRenameBarrierTheSecondHalfIsReadWithoutWaiting) {
  for (const bool passes : {true, false}) {
    RecordFeed feed;
    RecordQueue queue(feed.take_reader());
    std::vector<int> barriers;
    queue.set_rename_barrier([&](int wd) {
      barriers.push_back(wd);
      feed.add(2, IN_MOVED_TO, 8, "b");  // the renamer, done once the lock is free
      return passes;
    });
    feed.add(1, IN_MOVED_FROM, 8, "a");
    feed.add(1, IN_MOVED_FROM, 9, "c");
    feed.add(3, IN_CREATE, 0, "other");
    ASSERT_TRUE(queue.fill());
    queue.next();
    EXPECT_EQ(queue.find_moved_to(8).has_value(), passes) << passes;
    queue.next();
    EXPECT_FALSE(queue.find_moved_to(9)) << passes;
    EXPECT_EQ(barriers.size(), passes ? 1u : 2u) << "one barrier for both, when it passes";
    const std::vector<std::string> left =
        passes ? std::vector<std::string>{"3:other", "2:b"} : std::vector<std::string>{"3:other"};
    EXPECT_EQ(drain(queue), left) << passes;
  }
}

// A record handled out of turn, found past IN_MOVE_SELF records, is not returned again; the
// records it was taken from between keep their order.
TEST(RecordQueue, PeekedRecordTakenOutOfTurnIsPassedOver) {
  RecordFeed feed;
  RecordQueue queue(feed.take_reader());
  feed.add(1, IN_MOVED_TO, 1, "x");
  feed.add(4, IN_MOVE_SELF, 0, "");
  feed.add(1, IN_MOVED_FROM, 2, "x");
  feed.add(1, IN_CREATE, 0, "y");
  ASSERT_TRUE(queue.fill());
  queue.next();
  const auto departure = queue.peek_past_move_self();
  ASSERT_TRUE(departure);
  EXPECT_EQ(departure->cookie, 2u);
  queue.take_peeked();
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"4:", "1:y"}));
  queue.finish();
  // Left in place, it comes in its turn.
  feed.add(1, IN_MOVED_TO, 3, "x");
  feed.add(1, IN_MOVED_FROM, 4, "x");
  ASSERT_TRUE(queue.fill());
  queue.next();
  EXPECT_EQ(queue.peek_past_move_self()->cookie, 4u);
  EXPECT_EQ(drain(queue), std::vector<std::string>{"1:x"});
}

// A later record of the same cookie is found; one already returned is not.
TEST(RecordQueue, FindsOnlyMovedToRecordsAfterTheCurrentOne) {
  RecordFeed feed;
  RecordQueue queue(feed.take_reader());
  feed.add(2, IN_MOVED_TO, 5, "early");
  feed.add(1, IN_MOVED_FROM, 5, "old");
  ASSERT_TRUE(queue.fill());
  queue.next();
  queue.next();
  EXPECT_FALSE(queue.find_moved_to(5));
}

struct LookaheadCase {
  const char* intent;
  std::vector<std::string> after;  // records queued after the IN_MOVED_FROM of cookie 9
  bool follows;
};

// IN_MOVE_SELF of the moved directory (wd 4) is looked for until another rename or an
// overflow: past those, it would belong to a later rename.
TEST(RecordQueue, MoveSelfLookaheadStopsAtAnotherRenameOrAnOverflow) {
  const LookaheadCase cases[] = {
      {"right after the pair",
       {record_bytes(3, IN_MOVED_TO, 9, "b"), record_bytes(4, IN_MOVE_SELF)},
       true},
      {"past unrelated records",
       {record_bytes(3, IN_MOVED_TO, 9, "b"), record_bytes(5, IN_CREATE, 0, "x"),
        record_bytes(4, IN_MOVE_SELF)},
       true},
      {"after another rename",
       {record_bytes(3, IN_MOVED_FROM, 10, "c"), record_bytes(4, IN_MOVE_SELF)},
       false},
      {"after an overflow",
       {record_bytes(-1, IN_Q_OVERFLOW), record_bytes(4, IN_MOVE_SELF)},
       false},
      {"of another directory", {record_bytes(6, IN_MOVE_SELF)}, false},
      {"nothing queued", {}, false},
  };
  for (const LookaheadCase& c : cases) {
    RecordFeed feed;
    RecordQueue queue(feed.take_reader());
    feed.add(1, IN_MOVED_FROM | IN_ISDIR, 9, "a");
    ASSERT_TRUE(queue.fill());
    queue.next();
    for (const std::string& bytes : c.after) feed.write(bytes);
    EXPECT_EQ(queue.move_self_follows(4, 9), c.follows) << c.intent;
  }
}

// Records come out in queue order across an overflow and across reads; a record cut by a
// read waits for its rest.
TEST(RecordQueue, KeepsQueueOrderAcrossAnOverflowAndACutRecord) {
  RecordFeed feed;
  RecordQueue queue(feed.take_reader());
  feed.add(1, IN_CREATE, 0, "a");
  feed.add(-1, IN_Q_OVERFLOW);
  const std::string cut = record_bytes(1, IN_CREATE, 0, "b");
  feed.write(cut.substr(0, 20));
  ASSERT_TRUE(queue.fill());
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"1:a", "-1:"}));
  queue.finish();
  feed.write(cut.substr(20));
  ASSERT_TRUE(queue.fill());
  EXPECT_EQ(drain(queue), std::vector<std::string>{"1:b"});
}

// A read that finds the queue empty moves the time bound of unread records forward.
TEST(RecordQueue, AnEmptyReadMovesUnreadSinceForward) {
  RecordFeed feed;
  RecordQueue queue(feed.take_reader());
  EXPECT_EQ(queue.unread_since(), 0);
  EXPECT_FALSE(queue.fill());
  queue.finish();
  EXPECT_GT(queue.unread_since(), 0);
  EXPECT_EQ(queue.drained_read(), queue.reads());
}

// The decoder takes whole records only, whatever length a record claims.
TEST(RecordQueue, DecoderRefusesRecordsThatOverrunTheBuffer) {
  std::string bytes = record_bytes(1, IN_CREATE, 0, "name");
  std::size_t next = 0;
  EXPECT_TRUE(vestra::platform::decode_record(bytes.data(), bytes.size(), 0, next));
  EXPECT_EQ(next, bytes.size());
  EXPECT_FALSE(vestra::platform::decode_record(bytes.data(), bytes.size() - 1, 0, next));
  bytes[12] = '\x7f';  // len, beyond the bytes that follow
  EXPECT_FALSE(vestra::platform::decode_record(bytes.data(), bytes.size(), 0, next));
}

}  // namespace
