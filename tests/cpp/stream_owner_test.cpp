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
    CFMutableArrayRef paths = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFStringRef path =
        CFStringCreateWithCString(nullptr, dir.path().c_str(), kCFStringEncodingUTF8);
    CFArrayAppendValue(paths, path);
    CFRelease(path);
    FSEventStreamRef stream = FSEventStreamCreate(
        nullptr,
        [](ConstFSEventStreamRef, void*, size_t, void*, const FSEventStreamEventFlags*,
           const FSEventStreamEventId*) {},
        &context, paths, kFSEventStreamEventIdSinceNow, 0.0, kFSEventStreamCreateFlagFileEvents);
    CFRelease(paths);
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
