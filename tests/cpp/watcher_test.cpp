#include "backend/watcher.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "event/kind_text.h"
#include "module/delivery.h"
#include "platform/linux/testing.h"
#include "test_support.h"

namespace vestra {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace seams = platform::testing;

using testing_support::count_entries;
using testing_support::settled_thread_count;
using testing_support::TempDir;

std::size_t count_open_descriptors() {
  return count_entries("/proc/self/fd");
}
std::size_t count_threads() {
  return count_entries("/proc/self/task");
}

/// Receives until `want` holds for what was seen, or the bound passes; returns what came.
std::vector<std::pair<std::string, std::string>> receive_until(
    Receiver<WatchItem>& receiver,
    const std::function<bool(const std::vector<std::pair<std::string, std::string>>&)>& want,
    std::chrono::milliseconds bound = 5000ms) {
  std::vector<std::pair<std::string, std::string>> seen;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!want(seen) && std::chrono::steady_clock::now() < deadline) {
    auto item = receiver.recv_timeout(50ms);
    if (item.is_err()) continue;
    const Event& event = item.value().value();
    seen.emplace_back(kind_text(event.kind()), event.paths().empty() ? "" : event.paths()[0]);
  }
  return seen;
}

bool contains(const std::vector<std::pair<std::string, std::string>>& seen, const std::string& kind,
              const std::string& path) {
  return std::find(seen.begin(), seen.end(), std::make_pair(kind, path)) != seen.end();
}

std::string describe(const std::vector<std::pair<std::string, std::string>>& seen) {
  std::string out;
  for (const auto& [kind, path] : seen) out += kind + " " + path + "\n";
  return out;
}

std::vector<std::string> stream_path_strings(const FsEventWatcher& watcher) {
  std::vector<std::string> out;
  CFArrayRef array = watcher.stream_paths();
  for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
    out.emplace_back(CFStringGetCStringPtr(
        static_cast<CFStringRef>(CFArrayGetValueAtIndex(array, i)), kCFStringEncodingUTF8));
  }
  return out;
}

/// A watcher delivering to its own channel, and a directory to watch.
class Watcher : public ::testing::Test {
 protected:
  TempDir dir;
  DeliveryChannel delivery = make_delivery_channel();
  std::unique_ptr<FsEventWatcher> watcher = FsEventWatcher::from_event_handler(delivery.handler);
};

// A missing path is refused with the path as written; nothing runs afterwards, and
// destroying the watcher waits for nothing.
TEST_F(Watcher, MissingPathIsRefused) {
  const std::string missing = "/nonexistent/vestra/../path";
  auto result = watcher->watch(missing, WatchDepth::Subtree);
  ASSERT_TRUE(result.is_err());
  EXPECT_EQ(text_form(result.error()),
            R"(Error { kind: PathNotFound, paths: ["/nonexistent/vestra/../path"] })");
  EXPECT_FALSE(watcher->is_running());
  EXPECT_TRUE(watcher->registry().empty());
  EXPECT_EQ(CFArrayGetCount(watcher->stream_paths()), 0);
}

// Paths that cannot name anything are refused: NUL inside, empty, a dangling link.
TEST_F(Watcher, UnusablePathsAreRefused) {
  fs::create_symlink(fs::path(dir.path()) / "nowhere", fs::path(dir.path()) / "dangling");
  const std::string cases[] = {std::string("/tmp\0x", 6), "",
                               (fs::path(dir.path()) / "dangling").string()};
  for (const std::string& path : cases) {
    auto delivery = make_delivery_channel();
    auto watcher = FsEventWatcher::from_event_handler(delivery.handler);
    auto result = watcher->watch(path, WatchDepth::Subtree);
    ASSERT_TRUE(result.is_err()) << path;
    EXPECT_EQ(result.error().paths(), std::vector<Path>{path});
    EXPECT_FALSE(watcher->is_running());
  }
}

// A relative path and a path through a symbolic link are registered in canonical form.
TEST_F(Watcher, RegistersCanonicalPaths) {
  fs::create_directory(fs::path(dir.path()) / "real");
  fs::create_directory_symlink(fs::path(dir.path()) / "real", fs::path(dir.path()) / "link");
  const fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  ASSERT_TRUE(watcher->watch("real", WatchDepth::Subtree).is_ok());
  ASSERT_TRUE(watcher->watch("link/", WatchDepth::DirectChildren).is_ok());
  fs::current_path(saved);

  const std::string real = (fs::path(dir.path()) / "real").string();
  ASSERT_EQ(watcher->registry().size(), 1u) << "both name one directory";
  EXPECT_EQ(watcher->registry().begin()->first, real);
  EXPECT_FALSE(watcher->registry().begin()->second) << "the later depth wins";
  EXPECT_EQ(stream_path_strings(*watcher), (std::vector<std::string>{real, real}));
  EXPECT_TRUE(watcher->is_running());
}

// A refused watch after a good one keeps observing the earlier path with a new stream.
TEST_F(Watcher, RefusedWatchRestartsEarlierPaths) {
  ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
  ASSERT_TRUE(watcher->watch("/nonexistent/vestra", WatchDepth::Subtree).is_err());
  ASSERT_TRUE(watcher->is_running());
  std::ofstream(fs::path(dir.path()) / "after") << "x";
  const std::string file = (fs::path(dir.path()) / "after").string();
  auto seen = receive_until(delivery.receiver,
                            [&](const auto& s) { return contains(s, "Create(File)", file); });
  EXPECT_TRUE(contains(seen, "Create(File)", file)) << describe(seen);
}

// Events of the real file system reach the delivery channel with their kinds and paths.
TEST_F(Watcher, RealEventsReachTheChannel) {
  ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());

  const std::string file = (fs::path(dir.path()) / "f").string();
  const std::string sub = (fs::path(dir.path()) / "sub").string();
  const std::string renamed = (fs::path(dir.path()) / "g").string();
  std::ofstream(file) << "data";
  fs::create_directory(sub);
  fs::rename(file, renamed);
  fs::remove(sub);
  auto seen = receive_until(delivery.receiver, [&](const auto& s) {
    return contains(s, "Remove(Folder)", sub) && contains(s, "Modify(Name(Any))", renamed);
  });
  EXPECT_TRUE(contains(seen, "Create(File)", file)) << describe(seen);
  EXPECT_TRUE(contains(seen, "Modify(Data(Content))", file)) << describe(seen);
  EXPECT_TRUE(contains(seen, "Create(Folder)", sub)) << describe(seen);
  EXPECT_TRUE(contains(seen, "Modify(Name(Any))", file)) << describe(seen);
  EXPECT_TRUE(contains(seen, "Modify(Name(Any))", renamed)) << describe(seen);
  EXPECT_TRUE(contains(seen, "Remove(Folder)", sub)) << describe(seen);
}

// A DirectChildren watch reports its entries but nothing deeper.
TEST_F(Watcher, DirectChildrenStopsAtDepthOne) {
  fs::create_directories(fs::path(dir.path()) / "a");
  ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::DirectChildren).is_ok());
  std::ofstream(fs::path(dir.path()) / "a" / "deep") << "x";
  std::ofstream(fs::path(dir.path()) / "top") << "x";
  const std::string top = (fs::path(dir.path()) / "top").string();
  auto seen = receive_until(delivery.receiver,
                            [&](const auto& s) { return contains(s, "Create(File)", top); });
  EXPECT_TRUE(contains(seen, "Create(File)", top)) << describe(seen);
  for (const auto& [kind, path] : seen) {
    EXPECT_EQ(path.find("/a/deep"), std::string::npos) << "deeper entry delivered: " << path;
  }
}

// The stream context's share of the handler is given back when the stream ends: after
// the watcher is gone only the creator's share is left.
TEST_F(Watcher, HandlerSharesReturn) {
  ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
  EXPECT_EQ(delivery.handler.use_count(), 3) << "creator, watcher, stream context";
  watcher->stop();
  EXPECT_EQ(delivery.handler.use_count(), 2) << "the stream released its context";
  watcher.reset();
  EXPECT_EQ(delivery.handler.use_count(), 1);
}

// 200 cycles of create, watch, stop right after the run, watch again and destroy never hang
// and leave no stream running, no descriptor and no thread behind.
TEST_F(Watcher, CyclesLeakNothing) {
  fs::create_directories(fs::path(dir.path()) / "a" / "b");
  const auto cycle = [&] {
    auto delivery = make_delivery_channel();
    auto watcher = FsEventWatcher::from_event_handler(delivery.handler);
    ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
    watcher->stop();
    EXPECT_FALSE(watcher->is_running());
    ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
  };
  // One cycle first: runtimes start helper threads lazily at the first thread creation.
  cycle();
  const std::size_t fds = count_open_descriptors();
  const std::size_t threads = count_threads();
  for (int i = 0; i < 200; ++i) cycle();
  EXPECT_EQ(count_open_descriptors(), fds);
  EXPECT_LE(settled_thread_count(threads), threads);
}

// A stream that the platform refuses to start fails the watch, instead of leaving a watch
// that reports nothing; its thread and context are gone, and the next watch starts.
TEST_F(Watcher, StreamThatDoesNotStartFailsTheWatch) {
  // Runtimes (ThreadSanitizer's among them) start helper threads at the first thread creation.
  std::thread([] {}).join();
  const std::size_t threads = count_threads();
  seams::refuse_next_start();
  auto result = watcher->watch(dir.path(), WatchDepth::Subtree);
  ASSERT_TRUE(result.is_err());
  EXPECT_EQ(text_form(result.error()),
            R"(Error { kind: Generic("the event stream could not be started"), paths: [")" +
                dir.path() + "\"] }");
  EXPECT_FALSE(watcher->is_running());
  EXPECT_EQ(delivery.handler.use_count(), 2) << "the refused stream released its context";
  EXPECT_LE(settled_thread_count(threads), threads);
  EXPECT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
}

// A loop whose run returns by itself (on macOS, a loop left without sources) ends its
// thread; stop then returns instead of waiting for the loop to become idle.
TEST_F(Watcher, StopAfterTheLoopEndedByItself) {
  seams::end_next_run_at_once();
  ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
  watcher->stop();
  EXPECT_FALSE(watcher->is_running());
  EXPECT_EQ(delivery.handler.use_count(), 2) << "the stream released its context";
}

// The stored history is purged only for a stream that watches a device; device 0, which
// every stream made without one reports, names none.
TEST_F(Watcher, HistoryIsPurgedOnlyForARealDevice) {
  for (const dev_t device : {dev_t{0}, dev_t{7}}) {
    seams::set_device_being_watched(device);
    (void)seams::take_purged_devices();
    {
      auto delivery = make_delivery_channel();
      auto watcher = FsEventWatcher::from_event_handler(delivery.handler);
      ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
    }
    const auto expected = device ? std::vector<dev_t>{device} : std::vector<dev_t>{};
    EXPECT_EQ(seams::take_purged_devices(), expected) << "device " << device;
  }
  seams::set_device_being_watched(0);
}

// The loop thread carries its name while it runs.
TEST_F(Watcher, LoopThreadIsNamed) {
  ASSERT_TRUE(watcher->watch(dir.path(), WatchDepth::Subtree).is_ok());
  std::set<std::string> names;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.insert(name);
  }
  EXPECT_TRUE(names.count("murmelant fseve")) << "no thread named after the loop";
}

// run with nothing registered refuses and starts nothing.
TEST_F(Watcher, RunWithoutPaths) {
  const std::size_t threads = count_threads();
  auto result = watcher->run();
  ASSERT_TRUE(result.is_err());
  EXPECT_EQ(text_form(result.error()), "Error { kind: PathNotFound, paths: [] }");
  EXPECT_LE(settled_thread_count(threads), threads);
  watcher->stop();
}

}  // namespace
}  // namespace vestra
