#include "native/batcher.h"

#include <gtest/gtest.h>

namespace vestra {
namespace {

using namespace std::chrono_literals;
using Clock = Batcher::Clock;

NativeEvent created(const char* path) {
  return NativeEvent{"Create(File)", path, std::nullopt, IsDir::No};
}

const Clock::time_point t0{};

// Nothing pending: no deadline, nothing due.
TEST(BatcherTest, IdleHasNoDeadline) {
  Batcher batcher({50ms, 1s, false});
  EXPECT_FALSE(batcher.due_at());
  EXPECT_FALSE(batcher.is_due(t0 + 1h));
}

// Each event pushes the quiet deadline out; it ends the batch when the stream stays quiet.
TEST(BatcherTest, QuietSpellEndsBatch) {
  Batcher batcher({50ms, 1s, false});
  batcher.add(created("/a"), t0);
  batcher.add(created("/b"), t0 + 40ms);
  EXPECT_EQ(batcher.due_at(), t0 + 90ms);
  EXPECT_FALSE(batcher.is_due(t0 + 89ms));
  EXPECT_TRUE(batcher.is_due(t0 + 90ms));
  const std::vector<NativeEvent> batch = batcher.take();
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0].path, "/a");
  EXPECT_EQ(batch[1].path, "/b");
  EXPECT_TRUE(batcher.empty());
  EXPECT_FALSE(batcher.due_at());
}

// A stream that never goes quiet still hands a batch over at the cap after its first event.
TEST(BatcherTest, CapEndsBusyBatch) {
  Batcher batcher({50ms, 200ms, false});
  for (int i = 0; i < 10; ++i) batcher.add(created("/a"), t0 + i * 30ms);
  EXPECT_EQ(batcher.due_at(), t0 + 200ms);
  batcher.take();
  batcher.add(created("/b"), t0 + 300ms);
  EXPECT_EQ(batcher.due_at(), t0 + 350ms) << "the next batch counts from its own first event";
}

// A zero window hands every event over at once.
TEST(BatcherTest, ZeroDebounceIsDueAtOnce) {
  Batcher batcher({0ms, 1s, false});
  batcher.add(created("/a"), t0 + 5ms);
  EXPECT_TRUE(batcher.is_due(t0 + 5ms));
}

// Coalescing is applied when the batch is taken.
TEST(BatcherTest, CoalescesOnTake) {
  Batcher batcher({0ms, 1s, true});
  batcher.add(created("/a"), t0);
  batcher.add(NativeEvent{"Remove(File)", "/a", std::nullopt, IsDir::No}, t0);
  EXPECT_TRUE(batcher.take().empty());
}

}  // namespace
}  // namespace vestra
