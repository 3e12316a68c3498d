#include "backend/stream_owner.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace vestra {
namespace {

// A stream given up at any point of its life is ended as its state allows (the platform
// refuses a stop before a start and an invalidation before a schedule), and its context is
// released exactly once.
TEST(StreamOwner, EndsTheStreamAsItsStateAllows) {
  testing_support::TempDir dir;
  enum Reached { Created, Scheduled, Started, Stopped };
  for (const Reached reached : {Created, Scheduled, Started, Stopped}) {
    int releases = 0;
    FSEventStreamContext context{
        0, &releases, nullptr,
        [](const void* info) { ++*static_cast<int*>(const_cast<void*>(info)); }, nullptr};
    FSEventStreamRef stream = testing_support::create_ignoring_stream(dir.path(), &context);
    ASSERT_NE(stream, nullptr);
    {
      StreamOwner owner(stream);
      if (reached >= Scheduled) owner.schedule(CFRunLoopGetCurrent());
      if (reached >= Started) {
        ASSERT_TRUE(owner.start());
      }
      if (reached >= Stopped) owner.stop();
    }
    EXPECT_EQ(releases, 1) << "stream given up at state " << reached;
  }
}

}  // namespace
}  // namespace vestra
