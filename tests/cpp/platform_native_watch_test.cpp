// The native watch of the new API over the Linux layer: set-up failures, readiness of its
// descriptor, and a stop that reaches a set-up walk in progress.
#include <poll.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "backend/watcher.h"
#include "native/watch_core.h"
#include "platform/linux/testing.h"
#include "test_support.h"

namespace vestra {
namespace {

using namespace std::chrono_literals;
using testing_support::TempDir;

WatchSettings settings_for(const std::string& path) {
  return WatchSettings{{WatchTarget{path, true}}, {}, Batcher::Settings{0ms, 1s, false}, {}, 0};
}

bool readable(int fd, std::chrono::milliseconds wait) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, static_cast<int>(wait.count())) == 1;
}

struct FailureCase {
  const char* name;
  void (*fault)();
  int error_number;
  const char* message;
};
void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.name;
}

class StartFailureTest : public ::testing::TestWithParam<FailureCase> {};

// A stream that cannot cover the tree fails the start with an errno and says what to do.
TEST_P(StartFailureTest, ReportsWhy) {
  const FailureCase& c = GetParam();
  TempDir dir;
  std::filesystem::create_directories(dir / "a/b/c");
  auto core = WatchCore::create(settings_for(dir.path())).unwrap();
  c.fault();
  auto started = core->start();
  ASSERT_TRUE(started.is_err());
  EXPECT_EQ(started.error().error_number, c.error_number);
  EXPECT_EQ(started.error().message, c.message);
  EXPECT_EQ(started.error().filename, dir.path());
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartFailureTest,
    ::testing::Values(FailureCase{"watch_limit", [] { platform::testing::limit_next_watches(2); },
                                  ENOSPC,
                                  "the inotify watch limit was reached; raise it with sysctl "
                                  "fs.inotify.max_user_watches=N"},
                      FailureCase{"refused", platform::testing::refuse_next_start, EIO,
                                  "the watch could not be started"}));

// A path that is not there is refused before anything is set up, with the path as given.
TEST(NativeWatchTest, MissingPathIsENOENT) {
  TempDir dir;
  auto created = WatchCore::create(settings_for(dir / "missing"));
  ASSERT_TRUE(created.is_err());
  EXPECT_EQ(created.error().error_number, ENOENT);
  EXPECT_EQ(created.error().filename, dir / "missing");
}

class DescriptorTest : public ::testing::TestWithParam<std::chrono::milliseconds> {};

// The descriptor is readable only while a batch is due, and for good once closed. With a
// quiet window, the timer thread makes it readable once the window has passed.
TEST_P(DescriptorTest, ReadableOnlyWhenDueOrClosed) {
  TempDir dir;
  WatchSettings settings = settings_for(dir.path());
  settings.batching.debounce = GetParam();
  auto core = WatchCore::create(std::move(settings)).unwrap();
  ASSERT_TRUE(core->start().is_ok());
  EXPECT_FALSE(readable(core->fileno(), 0ms)) << "idle";
  std::ofstream(dir / "new").close();
  ASSERT_TRUE(readable(core->fileno(), 5000ms)) << "no batch within 5 s";
  auto batch = core->poll_batch();
  ASSERT_TRUE(std::holds_alternative<std::vector<NativeEvent>>(batch));
  EXPECT_EQ(std::get<std::vector<NativeEvent>>(batch).front().path, dir / "new");
  EXPECT_FALSE(readable(core->fileno(), 0ms)) << "taken";
  core->close();
  EXPECT_TRUE(readable(core->fileno(), 0ms)) << "closed";
  EXPECT_TRUE(std::holds_alternative<WatchCore::Closed>(core->poll_batch()));
  core->close();  // again: nothing happens
}

INSTANTIATE_TEST_SUITE_P(Debounce, DescriptorTest, ::testing::Values(0ms, 20ms));

// A stop requested during the set-up walk ends it at the next directory: the listing of the
// top asks the filter about its 200 subdirectories, and no subdirectory is listed after it.
TEST(NativeWatchTest, StopRequestEndsSetUpWalk) {
  TempDir dir;
  for (int i = 0; i < 200; ++i)
    std::filesystem::create_directories(dir / (std::to_string(i) + "/x"));
  struct Probe {
    FsEventWatcher* watcher;
    std::atomic<int> asked{0};
  };
  auto watcher = FsEventWatcher::from_event_handler(
      share_event_handler(std::unique_ptr<EventHandler>(nullptr)));
  Probe probe{watcher.get()};
  watcher->set_directory_filter(
      [](const void* info, const char*, size_t) {
        auto& probe = *static_cast<Probe*>(const_cast<void*>(info));
        if (probe.asked++ == 0) probe.watcher->request_stop();
        return false;
      },
      &probe);
  ASSERT_TRUE(watcher->append_path(dir.path(), WatchDepth::Subtree).is_ok());
  EXPECT_TRUE(watcher->run().is_err()) << "a set-up cut short did not start";
  EXPECT_EQ(probe.asked.load(), 200) << "a subdirectory was listed after the request";
  EXPECT_TRUE(watcher->run().is_err()) << "stopped for good";
}

}  // namespace
}  // namespace vestra
