// Event streams of the Linux platform layer on real directory trees, driven as the watcher
// backend drives them: a thread schedules and starts the stream on its own run loop, hands
// the loop back and runs it; the test stops the loop once it waits, and the thread then
// stops, invalidates and releases the stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backend/stream_flags.h"
#include "platform/linux/file_descriptor.h"
#include "platform/linux/poll_choice.h"
#include "platform/linux/testing.h"
#include "platform/platform.h"
#include "support/panic.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
namespace seams = vestra::platform::testing;
using namespace std::chrono_literals;

constexpr UInt32 kCreated = kFSEventStreamEventFlagItemCreated;
constexpr UInt32 kRemoved = kFSEventStreamEventFlagItemRemoved;
constexpr UInt32 kRenamed = kFSEventStreamEventFlagItemRenamed;
constexpr UInt32 kModified = kFSEventStreamEventFlagItemModified;
constexpr UInt32 kMetaMod = kFSEventStreamEventFlagItemInodeMetaMod;
constexpr UInt32 kIsFile = kFSEventStreamEventFlagItemIsFile;
constexpr UInt32 kIsDir = kFSEventStreamEventFlagItemIsDir;
constexpr UInt32 kIsSymlink = kFSEventStreamEventFlagItemIsSymlink;
constexpr UInt32 kIsHardlink = kFSEventStreamEventFlagItemIsHardlink;
constexpr UInt32 kUnmount = kFSEventStreamEventFlagUnmount;
constexpr UInt32 kUserDropped =
    kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagUserDropped;
constexpr UInt32 kKernelDropped =
    kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagKernelDropped;

struct Record {
  std::string path;
  UInt32 flags;
  UInt64 id;
  std::size_t resyncs;  // resyncs the stream had run when it delivered the record
};
using Records = std::vector<Record>;

std::string flag_names(UInt32 flags) {
  return text_form(vestra::StreamFlags::from_bits_retain(flags));
}

/// The records as lines, for failure messages; long lists are cut.
std::string describe(const Records& records, std::size_t limit = 80) {
  std::string text = std::to_string(records.size()) + " records:\n";
  for (std::size_t i = 0; i < records.size() && i < limit; ++i) {
    text += "  " + records[i].path + "  " + flag_names(records[i].flags) + "\n";
  }
  if (records.size() > limit) text += "  ...\n";
  return text;
}

bool has(const Records& records, const std::string& path, UInt32 flags) {
  for (const Record& record : records) {
    if (record.path == path && record.flags == flags) return true;
  }
  return false;
}

/// True when `path` is `dir` or lies below it.
bool path_below(const std::string& path, const std::string& dir) {
  return path == dir || path.rfind(dir + "/", 0) == 0;
}

/// The directories above `path` other than "/", each watched for its own move.
std::size_t above(const std::string& path) {
  return static_cast<std::size_t>(std::count(path.begin(), path.end(), '/')) - 1;
}

std::size_t count_of(const Records& records, const std::string& path) {
  std::size_t count = 0;
  for (const Record& record : records) count += record.path == path;
  return count;
}

using vestra::testing_support::count_entries;
using vestra::testing_support::create_ignoring_stream;
using vestra::testing_support::numbered;
using vestra::testing_support::TempDir;
using vestra::testing_support::touch;

/// Leaves a socket file at `path`: bound, then closed.
void make_socket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const vestra::platform::FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0 ||
      ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("bind " + path);
  }
}

void append_to(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("open " + path);
  [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
  ::close(fd);
}

struct StreamOptions {
  std::function<void(FSEventStreamRef)> before_start;
  FSEventStreamCreateFlags flags =
      kFSEventStreamCreateFlagNoDefer | kFSEventStreamCreateFlagFileEvents;
};

/// Runs one stream on its own thread, the way the watcher backend does.
class StreamThread {
 public:
  explicit StreamThread(std::vector<std::string> paths, StreamOptions options = StreamOptions()) {
    std::promise<void> handoff;
    auto handed = handoff.get_future();
    use_cf_types_ = options.flags & kFSEventStreamCreateFlagUseCFTypes;
    thread_ = std::thread([this, paths, options, &handoff] {
      loop_thread_ = std::this_thread::get_id();
      loop_ = CFRunLoopGetCurrent();
      CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
      for (const std::string& path : paths) {
        CFStringRef string =
            CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8);
        CFArrayAppendValue(array, string);
        CFRelease(string);
      }
      FSEventStreamContext context{0, this, nullptr, release_info, nullptr};
      stream_ = FSEventStreamCreate(nullptr, callback, &context, array,
                                    kFSEventStreamEventIdSinceNow, 0.0, options.flags);
      CFRelease(array);
      if (options.before_start) options.before_start(stream_);
      FSEventStreamScheduleWithRunLoop(stream_, loop_, kCFRunLoopDefaultMode);
      started_ = FSEventStreamStart(stream_);
      handoff.set_value();
      CFRunLoopRun();
      if (started_) FSEventStreamStop(stream_);
      FSEventStreamInvalidate(stream_);
      FSEventStreamRelease(stream_);
    });
    handed.wait();
  }
  ~StreamThread() { stop(); }
  StreamThread(const StreamThread&) = delete;

  bool started() const { return started_; }
  FSEventStreamRef stream() const { return stream_; }

  Records records() {
    std::lock_guard hold(mutex_);
    return records_;
  }

  /// Waits up to `bound` until `done` holds for the records seen so far.
  bool wait(const std::function<bool(const Records&)>& done, std::chrono::milliseconds bound = 5s) {
    std::unique_lock hold(mutex_);
    return changed_.wait_for(hold, bound, [&] { return done(records_); });
  }
  bool wait_for(const std::string& path, UInt32 flags, std::chrono::milliseconds bound = 5s) {
    return wait([&](const Records& seen) { return has(seen, path, flags); }, bound);
  }
  /// Creates `path` and waits for its creation record: every earlier change has been read.
  bool settle(const std::string& path) {
    touch(path);
    return wait_for(path, kCreated | kIsFile);
  }

  /// Stops the loop once it waits, then joins the thread, which ends the stream.
  void stop() {
    if (!thread_.joinable()) return;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!CFRunLoopIsWaiting(loop_) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    EXPECT_TRUE(CFRunLoopIsWaiting(loop_)) << "the loop never waited";
    CFRunLoopStop(loop_);
    thread_.join();
    EXPECT_EQ(releases_.load(), 1) << "context released once";
    EXPECT_FALSE(late_callback_) << "a callback came after the context was released";
    EXPECT_FALSE(foreign_thread_) << "a callback ran off the loop thread";
    EXPECT_FALSE(ids_out_of_order_) << "event ids did not increase";
  }

 private:
  static void callback(ConstFSEventStreamRef stream, void* info, size_t count, void* paths,
                       const FSEventStreamEventFlags flags[], const FSEventStreamEventId ids[]) {
    auto& self = *static_cast<StreamThread*>(info);
    if (self.releases_ > 0) self.late_callback_ = true;
    if (std::this_thread::get_id() != self.loop_thread_) self.foreign_thread_ = true;
    std::lock_guard hold(self.mutex_);
    const std::size_t resyncs = seams::resync_count(stream);
    for (size_t i = 0; i < count; ++i) {
      std::string path;
      if (self.use_cf_types_) {
        auto string = static_cast<CFStringRef>(
            CFArrayGetValueAtIndex(static_cast<CFArrayRef>(paths), static_cast<CFIndex>(i)));
        path = CFStringGetCStringPtr(string, kCFStringEncodingUTF8);
      } else {
        path = static_cast<char**>(paths)[i];
      }
      if (ids[i] <= self.last_id_) self.ids_out_of_order_ = true;
      self.last_id_ = ids[i];
      self.records_.push_back(Record{std::move(path), flags[i], ids[i], resyncs});
    }
    self.changed_.notify_all();
  }
  static void release_info(const void* info) {
    ++static_cast<StreamThread*>(const_cast<void*>(info))->releases_;
  }

  std::thread thread_;
  std::thread::id loop_thread_;
  CFRunLoopRef loop_ = nullptr;
  FSEventStreamRef stream_ = nullptr;
  bool started_ = false;
  bool use_cf_types_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  Records records_;
  UInt64 last_id_ = 0;
  std::atomic<int> releases_{0};
  std::atomic<bool> late_callback_{false}, foreign_thread_{false}, ids_out_of_order_{false};
};

/// Rows of a table are shown by their name: printing their raw bytes would read padding.
template <typename Row>
requires requires(const Row& row) {
  row.name;
}
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}
constexpr auto row_name = [](const auto& info) { return std::string(info.param.name); };

/// Names the two cases of a table over ::testing::Bool().
auto bool_names(const char* if_false, const char* if_true) {
  return [=](const ::testing::TestParamInfo<bool>& info) {
    return std::string(info.param ? if_true : if_false);
  };
}

// ---------------------------------------------------------------------------------------
// One record per change, with its flags: a table of changes inside a watched directory.

constexpr UInt32 kNoRecord = 0;

struct FlagCase {
  const char* name;
  std::function<void(const TempDir&)> setup;
  std::function<void(const TempDir&)> change;
  /// Paths relative to the directory, each with a flag word that one of its records must
  /// carry; every record of the path carries one of the words given for it. kNoRecord: the
  /// path has no record at all. An empty path is the directory itself.
  std::vector<std::pair<std::string, UInt32>> expected;
};

class PlatformStreamFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(PlatformStreamFlags, ReportsTheChange) {
  const FlagCase& flag_case = GetParam();
  TempDir dir;
  if (flag_case.setup) flag_case.setup(dir);
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  flag_case.change(dir);
  ASSERT_TRUE(stream.settle(dir / "settled")) << describe(stream.records());
  const Records seen = stream.records();
  for (const auto& [relative, flags] : flag_case.expected) {
    const std::string path = relative.empty() ? dir.path() : dir / relative;
    if (flags == kNoRecord) {
      EXPECT_EQ(count_of(seen, path), 0u) << describe(seen);
      continue;
    }
    EXPECT_TRUE(has(seen, path, flags)) << "no record " << path << " " << flag_names(flags) << "\n"
                                        << describe(seen);
    for (const Record& record : seen) {
      if (record.path != path) continue;
      bool allowed = false;
      for (const auto& [other, other_flags] : flag_case.expected) {
        allowed |=
            (other.empty() ? dir.path() : dir / other) == path && other_flags == record.flags;
      }
      EXPECT_TRUE(allowed) << "unexpected " << path << " " << flag_names(record.flags);
    }
  }
}

const FlagCase kFlagCases[] = {
    {"CreateFile", nullptr, [](const TempDir& d) { touch(d / "f"); }, {{"f", kCreated | kIsFile}}},
    {"CreateDirectory",
     nullptr,
     [](const TempDir& d) { fs::create_directory(d / "d"); },
     {{"d", kCreated | kIsDir}}},
    {"CreateSymlink",
     nullptr,
     [](const TempDir& d) { fs::create_symlink("nowhere", d / "s"); },
     {{"s", kCreated | kIsSymlink}}},
    {"CreateHardlink",
     [](const TempDir& d) { touch(d / "a"); },
     [](const TempDir& d) { fs::create_hard_link(d / "a", d / "b"); },
     {{"b", kCreated | kIsFile | kIsHardlink}}},
    // Present at the start, a FIFO must not be opened (and blocked on) by the walk.
    {"FifoAndSocketAreFiles",
     [](const TempDir& d) {
       ::mkfifo((d / "fifo-before").c_str(), 0644);
       make_socket(d / "socket-before");
     },
     [](const TempDir& d) {
       ::mkfifo((d / "p").c_str(), 0644);
       make_socket(d / "s");
       fs::remove(d / "p");
       fs::remove(d / "s");
     },
     {{"p", kCreated | kIsFile},
      {"p", kRemoved | kIsFile},
      {"s", kCreated | kIsFile},
      {"s", kRemoved | kIsFile},
      {"fifo-before", kNoRecord}}},
    {"ModifyFile",
     [](const TempDir& d) { touch(d / "f"); },
     [](const TempDir& d) { append_to(d / "f", "data"); },
     {{"f", kModified | kIsFile}}},
    {"ReadingReportsNothing",
     [](const TempDir& d) { touch(d / "f"); },
     [](const TempDir& d) {
       const int fd = ::open((d / "f").c_str(), O_RDONLY | O_CLOEXEC);
       char byte;
       [[maybe_unused]] const ssize_t count = ::read(fd, &byte, 1);
       ::close(fd);
       for ([[maybe_unused]] const auto& entry : fs::directory_iterator(d.path())) {
       }
     },
     {{"f", kNoRecord}, {"", kNoRecord}}},
    {"ChangeFileAttributes",
     [](const TempDir& d) { touch(d / "f"); },
     [](const TempDir& d) { ::chmod((d / "f").c_str(), 0600); },
     {{"f", kMetaMod | kIsFile}}},
    {"ChangeDirectoryAttributesOnce",
     [](const TempDir& d) { fs::create_directory(d / "d"); },
     [](const TempDir& d) { ::chmod((d / "d").c_str(), 0700); },
     {{"d", kMetaMod | kIsDir}}},
    {"RenameFile",
     [](const TempDir& d) { touch(d / "a"); },
     [](const TempDir& d) { fs::rename(d / "a", d / "b"); },
     {{"a", kRenamed | kIsFile}, {"b", kRenamed | kIsFile}}},
    {"RenameSymlinkSeenAtStart",
     [](const TempDir& d) { fs::create_symlink("x", d / "s"); },
     [](const TempDir& d) { fs::rename(d / "s", d / "t"); },
     {{"s", kRenamed | kIsSymlink}, {"t", kRenamed | kIsSymlink}}},
    {"RenameDirectory",
     [](const TempDir& d) { fs::create_directory(d / "a"); },
     [](const TempDir& d) { fs::rename(d / "a", d / "b"); },
     {{"a", kRenamed | kIsDir}, {"b", kRenamed | kIsDir}}},
    {"RemoveFile",
     [](const TempDir& d) { touch(d / "f"); },
     [](const TempDir& d) { fs::remove(d / "f"); },
     {{"f", kRemoved | kIsFile}}},
    {"RemoveDirectory",
     [](const TempDir& d) { fs::create_directory(d / "d"); },
     [](const TempDir& d) { fs::remove(d / "d"); },
     {{"d", kRemoved | kIsDir}}},
    {"RemoveSymlinkSeenAtStart",
     [](const TempDir& d) { fs::create_symlink("x", d / "s"); },
     [](const TempDir& d) { fs::remove(d / "s"); },
     {{"s", kRemoved | kIsSymlink}}},
    {"SymlinkToDirectoryIsNotFollowed",
     [](const TempDir& d) {
       fs::create_directories(d / "real");
       fs::create_directory_symlink(d / "real", d / "s");
     },
     [](const TempDir& d) { touch(d / "real/f"); },
     {{"real/f", kCreated | kIsFile}, {"s/f", kNoRecord}}},
};

INSTANTIATE_TEST_SUITE_P(Table, PlatformStreamFlags, ::testing::ValuesIn(kFlagCases), row_name);

// The type of a removed entry is the one known from its creation; an entry gone before its
// creation is read is taken for a file.
class PlatformStreamFlagsOfRemoval : public ::testing::TestWithParam<bool> {};

TEST_P(PlatformStreamFlagsOfRemoval, SymlinkMadeAfterTheStart) {
  const bool gone_before_read = GetParam();
  const UInt32 type = gone_before_read ? kIsFile : kIsSymlink;
  TempDir dir;
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  if (gone_before_read) seams::hold_reading(stream.stream());
  fs::create_symlink("x", dir / "s");
  if (!gone_before_read) {
    ASSERT_TRUE(stream.wait_for(dir / "s", kCreated | type)) << describe(stream.records());
  }
  fs::remove(dir / "s");
  if (gone_before_read) seams::release_reading(stream.stream());
  ASSERT_TRUE(stream.settle(dir / "settled")) << describe(stream.records());
  EXPECT_TRUE(has(stream.records(), dir / "s", kCreated | type)) << describe(stream.records());
  EXPECT_TRUE(has(stream.records(), dir / "s", kRemoved | type)) << describe(stream.records());
}

INSTANTIATE_TEST_SUITE_P(Table, PlatformStreamFlagsOfRemoval, ::testing::Bool(),
                         bool_names("CreationReadFirst", "GoneBeforeItsCreationIsRead"));

// ---------------------------------------------------------------------------------------
// A stream path's own changes.

// A stream path missing at the start, deleted later or moved away, is watched once it
// appears, with what is made in it at once; nothing above it is reported. The kernel then
// holds a watch for each directory at the path and each one above it, and none for a tree
// that went away.
enum class RootAway { MissingAtStart, Deleted, MovedAway };

class PlatformStreamRoot : public ::testing::TestWithParam<RootAway> {};

TEST_P(PlatformStreamRoot, WatchedWithWhatItHoldsOnceItAppears) {
  const RootAway away = GetParam();
  TempDir base;
  const std::string root = base / "not/yet/here";
  if (away != RootAway::MissingAtStart) fs::create_directories(root + "/old");
  StreamThread stream({root});
  ASSERT_TRUE(stream.started());
  if (away == RootAway::Deleted) {
    fs::remove_all(root);
    ASSERT_TRUE(stream.wait_for(root, kRemoved | kIsDir)) << describe(stream.records());
  } else if (away == RootAway::MovedAway) {
    fs::rename(root, base / "moved");
    ASSERT_TRUE(stream.wait_for(root, kFSEventStreamEventFlagRootChanged))
        << describe(stream.records());
  }
  fs::create_directories(root + "/a/b");
  touch(root + "/a/b/f");
  ASSERT_TRUE(stream.wait([&](const Records& seen) {
    return has(seen, root, kCreated | kIsDir) && has(seen, root + "/a", kCreated | kIsDir) &&
           has(seen, root + "/a/b", kCreated | kIsDir) &&
           has(seen, root + "/a/b/f", kCreated | kIsFile);
  })) << describe(stream.records());
  ASSERT_TRUE(stream.settle(root + "/a/b/later")) << describe(stream.records());
  for (const Record& record : stream.records()) {
    EXPECT_EQ(record.path.rfind(root, 0), 0u) << record.path;
  }
  EXPECT_EQ(vestra::testing_support::kernel_watch_count(), 3 + above(root));
}

std::string root_away_name(const ::testing::TestParamInfo<RootAway>& info) {
  switch (info.param) {
    case RootAway::MissingAtStart:
      return "MissingAtStart";
    case RootAway::Deleted:
      return "DeletedThenRecreated";
    case RootAway::MovedAway:
      return "MovedAwayThenRecreated";
  }
  return "";
}

INSTANTIATE_TEST_SUITE_P(Table, PlatformStreamRoot,
                         ::testing::Values(RootAway::MissingAtStart, RootAway::Deleted,
                                           RootAway::MovedAway),
                         root_away_name);

struct FileRootCase {
  const char* name;
  std::function<void(const std::string&)> change;
  UInt32 flags;
};

class PlatformStreamFileRoot : public ::testing::TestWithParam<FileRootCase> {};

TEST_P(PlatformStreamFileRoot, ReportsUnderItsPath) {
  TempDir base;
  const std::string file = base / "file";
  touch(file);
  StreamThread stream({file});
  ASSERT_TRUE(stream.started());
  GetParam().change(file);
  ASSERT_TRUE(stream.wait_for(file, GetParam().flags)) << describe(stream.records());
  for (const Record& record : stream.records()) EXPECT_EQ(record.path, file);
}

const FileRootCase kFileRootCases[] = {
    {"Modify", [](const std::string& f) { append_to(f, "x"); }, kModified | kIsFile},
    {"Attributes", [](const std::string& f) { ::chmod(f.c_str(), 0600); }, kMetaMod | kIsFile},
    {"Remove", [](const std::string& f) { fs::remove(f); }, kRemoved | kIsFile},
    {"RemoveWhileOpen",
     [](const std::string& f) {
       const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
       fs::remove(f);
       std::this_thread::sleep_for(100ms);
       ::close(fd);
     },
     kRemoved | kIsFile},
    {"Rename", [](const std::string& f) { fs::rename(f, f + ".moved"); }, kRenamed | kIsFile},
    {"RecreateAfterRemove",
     [](const std::string& f) {
       fs::remove(f);
       touch(f);
     },
     kCreated | kIsFile},
};

INSTANTIATE_TEST_SUITE_P(Table, PlatformStreamFileRoot, ::testing::ValuesIn(kFileRootCases),
                         row_name);

// ---------------------------------------------------------------------------------------
// Creation races, renames and moves.

struct RaceCase {
  const char* name;
  int chains;  // independent `mkdir -p` chains
  int depth;   // directories in each chain
};

class PlatformStreamCreationRace : public ::testing::TestWithParam<RaceCase> {};

// `mkdir -p a/b/c && touch a/b/c/f` in a tight loop: every level and every file is reported.
TEST_P(PlatformStreamCreationRace, EveryLevelAndFileIsReported) {
  TempDir dir;
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  std::vector<std::string> expected_dirs, expected_files;
  for (int chain = 0; chain < GetParam().chains; ++chain) {
    std::string path = dir / numbered("c", chain);
    for (int level = 0; level < GetParam().depth; ++level) {
      if (level) path += "/l" + std::to_string(level);
      ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
      touch(path + "/f");
      expected_dirs.push_back(path);
      expected_files.push_back(path + "/f");
    }
  }
  std::string missing;
  const bool complete = stream.wait(
      [&](const Records& seen) {
        std::set<std::string> dirs, files;
        for (const Record& record : seen) {
          if (record.flags == (kCreated | kIsDir)) dirs.insert(record.path);
          if (record.flags == (kCreated | kIsFile)) files.insert(record.path);
        }
        for (const auto& path : expected_dirs) {
          if (!dirs.count(path)) return missing = "directory " + path, false;
        }
        for (const auto& path : expected_files) {
          if (!files.count(path)) return missing = "file " + path, false;
        }
        return true;
      },
      10s);
  EXPECT_TRUE(complete) << "missing " << missing;
}

const RaceCase kRaceCases[] = {
    {"Deep", 1, 300},
    {"Wide", 300, 3},
};

INSTANTIATE_TEST_SUITE_P(Table, PlatformStreamCreationRace, ::testing::ValuesIn(kRaceCases),
                         row_name);

// Made, filled and renamed into place in a tight loop, as builds do: every file is reported
// as created, under the path it had when its creation was read or under the final one.
TEST(PlatformStreamMoves, FilledThenRenamedInATightLoop) {
  TempDir dir;
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  constexpr int kRounds = 60;
  for (int round = 0; round < kRounds; ++round) {
    const std::string temporary = dir / numbered("tmp", round);
    fs::create_directories(temporary + "/a/b");
    touch(temporary + "/a/b/f");
    touch(temporary + "/g");
    fs::rename(temporary, dir / numbered("final", round));
  }
  std::string missing;
  EXPECT_TRUE(stream.wait([&](const Records& seen) {
    for (int round = 0; round < kRounds; ++round) {
      for (const char* file : {"/a/b/f", "/g"}) {
        const std::string before = dir / numbered("tmp", round) + file;
        const std::string after = dir / numbered("final", round) + file;
        if (!has(seen, before, kCreated | kIsFile) && !has(seen, after, kCreated | kIsFile)) {
          return missing = after, false;
        }
      }
    }
    return true;
  })) << "not reported: "
      << missing;
  ASSERT_TRUE(stream.settle(dir / "final0/a/b/later")) << describe(stream.records(), 20);
}

// Longer than the watcher allows for coarse time stamps: what was made before such a pause
// counts as older than the stream's start.
constexpr auto kPastStampMargin = 100ms;

// What a directory moved in already held, unchanged since before the last events read, is
// not reported, however late the move is read; all of it is watched under its new path.
class PlatformStreamMoveIn : public ::testing::TestWithParam<bool> {};

TEST_P(PlatformStreamMoveIn, OldEntriesAreWatchedButNotReported) {
  const bool lagging = GetParam();
  TempDir base;
  const std::string root = base / "root";
  fs::create_directories(root);
  fs::create_directories(base / "outside/in/sub/deep");
  touch(base / "outside/in/old");
  touch(base / "outside/in/sub/deep/old");
  fs::create_symlink("old", base / "outside/in/link");
  std::this_thread::sleep_for(kPastStampMargin);
  StreamThread stream({root});
  ASSERT_TRUE(stream.started());
  if (lagging) seams::hold_reading(stream.stream());
  fs::rename(base / "outside/in", root + "/in");
  if (lagging) {
    std::this_thread::sleep_for(kPastStampMargin);
    seams::release_reading(stream.stream());
  } else {
    ASSERT_TRUE(stream.wait_for(root + "/in", kRenamed | kIsDir)) << describe(stream.records());
  }
  ASSERT_TRUE(stream.settle(root + "/in/sub/deep/new")) << describe(stream.records());
  const Records seen = stream.records();
  EXPECT_TRUE(has(seen, root + "/in", kRenamed | kIsDir)) << describe(seen);
  for (const char* old : {"/in/old", "/in/link", "/in/sub", "/in/sub/deep", "/in/sub/deep/old"}) {
    EXPECT_EQ(count_of(seen, root + old), 0u) << old << ": " << describe(seen);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PlatformStreamMoveIn, ::testing::Bool(),
                         bool_names("ReadAtOnce", "ReadLate"));

// Entries made in a directory just moved in, before the watcher has read the move: no
// event tells of them, since the directory had no watch yet. The watcher lags here so that
// they surely come first.
void expect_changes_after_a_lagging_move_in(bool out_and_back) {
  TempDir base;
  const std::string root = base / "root";
  const std::string origin = out_and_back ? root + "/X" : base / "outside/in";
  fs::create_directories(root);
  fs::create_directories(origin + "/old-sub");
  touch(origin + "/old-sub/untouched");
  touch(origin + "/written");
  touch(origin + "/chmodded");
  std::this_thread::sleep_for(kPastStampMargin);
  StreamThread stream({root});
  ASSERT_TRUE(stream.started());
  ASSERT_TRUE(stream.settle(root + "/started")) << describe(stream.records());

  seams::hold_reading(stream.stream());
  const std::string in = root + "/in";
  if (out_and_back) {
    fs::create_directories(base / "outside");
    fs::rename(origin, base / "outside/X");
    fs::rename(base / "outside/X", in);
  } else {
    fs::rename(origin, in);
  }
  touch(in + "/new");
  fs::create_directories(in + "/new-sub/deeper");
  touch(in + "/new-sub/deeper/f");
  touch(in + "/old-sub/g");
  fs::create_symlink("new", in + "/link");
  append_to(in + "/written", "more");
  fs::permissions(in + "/chmodded", fs::perms::owner_all);
  seams::release_reading(stream.stream());

  ASSERT_TRUE(stream.settle(root + "/settled")) << describe(stream.records());
  const Records seen = stream.records();
  EXPECT_TRUE(has(seen, in, kRenamed | kIsDir)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/new", kCreated | kIsFile)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/new-sub", kCreated | kIsDir)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/new-sub/deeper", kCreated | kIsDir)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/new-sub/deeper/f", kCreated | kIsFile)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/old-sub/g", kCreated | kIsFile)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/link", kCreated | kIsSymlink)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/written", kModified | kIsFile)) << describe(seen);
  EXPECT_TRUE(has(seen, in + "/chmodded", kMetaMod | kIsFile)) << describe(seen);
  EXPECT_EQ(count_of(seen, in + "/old-sub/untouched"), 0u) << describe(seen);
  // Everything in it is watched now, under its new path.
  ASSERT_TRUE(stream.settle(in + "/new-sub/deeper/later")) << describe(stream.records());
  ASSERT_TRUE(stream.settle(in + "/old-sub/later")) << describe(stream.records());
}

TEST(PlatformStreamMoves, WhatIsMadeInADirectoryJustMovedInIsReported) {
  expect_changes_after_a_lagging_move_in(false);
}

TEST(PlatformStreamMoves, WhatIsMadeInADirectoryJustMovedOutAndBackIsReported) {
  expect_changes_after_a_lagging_move_in(true);
}

TEST(PlatformStreamMoves, DirectoryMovedBetweenStreamPaths) {
  TempDir base;
  const std::string one = base / "one", two = base / "two";
  fs::create_directories(one + "/moving/deep");
  fs::create_directories(two);
  StreamThread stream({one, two});
  ASSERT_TRUE(stream.started());
  fs::rename(one + "/moving", two + "/moved");
  touch(two + "/moved/deep/f");
  ASSERT_TRUE(stream.wait_for(two + "/moved/deep/f", kCreated | kIsFile))
      << describe(stream.records());
  const Records seen = stream.records();
  EXPECT_TRUE(has(seen, one + "/moving", kRenamed | kIsDir)) << describe(seen);
  EXPECT_TRUE(has(seen, two + "/moved", kRenamed | kIsDir)) << describe(seen);
}

/// Every directory below `root` (symbolic links not followed), `root` included.
std::vector<std::string> directories_below(const std::string& root) {
  std::vector<std::string> found{root};
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory() && !entry.is_symlink()) found.push_back(entry.path().string());
  }
  return found;
}

/// Makes, renames within `root`, moves out to `outside`, moves in and removes directories,
/// `steps` times in a tight loop.
void churn(const std::string& root, const std::string& outside, int steps, unsigned seed) {
  std::mt19937 random(seed);
  int names = 0;
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
  };
  for (int step = 0; step < steps; ++step) {
    const std::vector<std::string> inside = directories_below(root);
    const std::string name = numbered("d", names++);
    std::error_code ignored;
    switch (random() % 6) {
      case 0:
      case 1:
        fs::create_directories(pick(inside) + "/" + name + "/x/y", ignored);
        touch(pick(inside) + "/" + name + ".f");
        break;
      case 2: {  // rename within the tree, never into itself
        const std::string from = pick(inside), to = pick(inside);
        if (from == root || path_below(to, from)) break;
        fs::rename(from, to + "/" + name, ignored);
        break;
      }
      case 3: {  // out
        const std::string from = pick(inside);
        if (from != root) fs::rename(from, outside + "/" + name, ignored);
        break;
      }
      case 4: {  // in
        const std::vector<std::string> away = directories_below(outside);
        if (away.size() > 1) fs::rename(away[1], pick(inside) + "/" + name, ignored);
        break;
      }
      case 5: {
        const std::string gone = pick(inside);
        if (gone != root) fs::remove_all(gone, ignored);
        break;
      }
    }
  }
}

/// Checks that every directory below `root` is watched once and reports under its path.
void expect_every_directory_watched(StreamThread& stream, const std::string& root) {
  ASSERT_TRUE(stream.settle(root + "/settled")) << describe(stream.records(), 20);
  const std::vector<std::string> directories = directories_below(root);
  EXPECT_EQ(seams::watch_count(stream.stream()), directories.size() + above(root));
  for (const std::string& dir : directories) touch(dir + "/probe");
  std::string missing;
  EXPECT_TRUE(stream.wait([&](const Records& seen) {
    for (const std::string& dir : directories) {
      if (!has(seen, dir + "/probe", kCreated | kIsFile)) return missing = dir, false;
    }
    return true;
  })) << "no probe reported in "
      << missing;
}

// ---------------------------------------------------------------------------------------
// Lost events and limits.

std::size_t queue_limit() {
  std::size_t limit = 16384;
  if (FILE* file = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
    if (std::fscanf(file, "%zu", &limit) != 1) limit = 16384;
    std::fclose(file);
  }
  return limit;
}

/// Overflows the kernel queue of `stream` cheaply: attribute changes of two files in turn
/// (the kernel merges only an event equal to the one queued just before it). Returns when
/// the stream was let read again.
std::chrono::steady_clock::time_point overflow_with_attributes(StreamThread& stream,
                                                               const std::string& dir) {
  seams::hold_reading(stream.stream());
  const std::string files[2] = {dir + "/attr-a", dir + "/attr-b"};
  const std::size_t changes = queue_limit() + 4000;
  for (std::size_t i = 0; i < changes; ++i)
    ::chmod(files[i % 2].c_str(), (i / 2) % 2 ? 0600 : 0644);
  const auto released = std::chrono::steady_clock::now();
  seams::release_reading(stream.stream());
  return released;
}

// A churn whose events overflow the queue is caught up with by the resync.
TEST(PlatformStreamLimits, ResyncAfterAChurnWatchesTheTreeAsItIsNow) {
  TempDir base;
  const std::string root = base / "root", outside = base / "outside";
  fs::create_directories(root + "/a/b/c");
  fs::create_directories(outside);
  touch(root + "/attr-a");
  touch(root + "/attr-b");
  StreamThread stream({root});
  ASSERT_TRUE(stream.started());
  seams::hold_reading(stream.stream());
  churn(root, outside, 400, 7);
  overflow_with_attributes(stream, root);  // releases the reading
  ASSERT_TRUE(stream.wait_for(root, kKernelDropped, 20s)) << describe(stream.records(), 5);
  expect_every_directory_watched(stream, root);
}

// The first three overflows in a row are resynced at once; from the fourth on, the resync
// waits, twice as long each time. (An overflow read while a resync waits joins that resync,
// so each round lets its resync run before overflowing again.)
TEST(PlatformStreamLimits, RepeatedOverflowsBackOffAndRecover) {
  TempDir dir;
  touch(dir / "attr-a");
  touch(dir / "attr-b");
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  const std::chrono::milliseconds kDelays[] = {0ms, 0ms, 0ms, 100ms, 200ms};
  const auto overflows = [](const Records& seen) {
    Records found;
    for (const Record& record : seen) {
      if (record.flags == kKernelDropped) found.push_back(record);
    }
    return found;
  };
  std::size_t round = 0;
  for (const auto delay : kDelays) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const auto released = overflow_with_attributes(stream, dir.path());
    ASSERT_TRUE(
        stream.wait([&](const Records& seen) { return overflows(seen).size() > round; }, 20s));
    const Records reported = overflows(stream.records());
    ASSERT_EQ(reported.size(), round + 1) << describe(reported);
    EXPECT_EQ(reported.back().path, dir.path());
    const std::size_t resyncs_at_report = reported.back().resyncs;
    // A resync at once has run before the overflow is reported; a put-off one has not.
    EXPECT_EQ(resyncs_at_report, delay == 0ms ? round + 1 : round);
    const auto deadline = released + delay + 10s;
    while (seams::resync_count(stream.stream()) == round &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(seams::resync_count(stream.stream()), round + 1);
    EXPECT_GE(std::chrono::steady_clock::now() - released, delay);
    ++round;
  }
  ASSERT_TRUE(stream.settle(dir / "settled")) << describe(stream.records(), 5);
}

/// The inode numbers that the process's inotify instances watch, as the kernel lists them.
std::set<ino_t> kernel_watched_inodes() {
  std::set<ino_t> inodes;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) != "anon_inode:inotify") continue;
    FILE* info = std::fopen(("/proc/self/fdinfo/" + entry.path().filename().string()).c_str(), "r");
    if (!info) continue;
    char line[512];
    while (std::fgets(line, sizeof line, info)) {
      unsigned long inode = 0;
      if (std::sscanf(line, "inotify wd:%*x ino:%lx", &inode) == 1) inodes.insert(inode);
    }
    std::fclose(info);
  }
  return inodes;
}

/// Sets /proc/sys/fs/inotify/max_queued_events while it lives. The kernel takes the limit
/// when an instance is made, so it is held only around the start of a stream.
class QueueLimit {
 public:
  explicit QueueLimit(std::size_t limit) : saved_(queue_limit()) { write(limit); }
  ~QueueLimit() { write(saved_); }
  bool set() const { return set_; }

 private:
  void write(std::size_t limit) {
    FILE* file = std::fopen("/proc/sys/fs/inotify/max_queued_events", "w");
    set_ = file && std::fprintf(file, "%zu", limit) > 0;
    if (file) set_ = std::fclose(file) == 0 && set_;
  }
  std::size_t saved_;
  bool set_ = false;
};

// Bursts that overflow a small queue again and again, with resyncs overlapping the next
// burst: afterwards the kernel holds a watch on every directory of the tree.
class PlatformStreamOverflows : public ::testing::TestWithParam<unsigned> {};

TEST_P(PlatformStreamOverflows, EveryDirectoryIsWatchedAfterRepeatedOverflows) {
  if (::geteuid() != 0) VESTRA_SKIP_FOR_ENVIRONMENT() << "the queue limit needs root";
  TempDir base;
  const std::string root = base / "root", outside = base / "outside";
  fs::create_directories(root + "/a/b/c");
  fs::create_directories(outside);
  touch(root + "/attr-a");
  touch(root + "/attr-b");
  std::optional<StreamThread> stream;
  {
    QueueLimit small(100);
    if (!small.set()) VESTRA_SKIP_FOR_ENVIRONMENT() << "cannot set the queue limit";
    stream.emplace(std::vector<std::string>{root});
  }
  ASSERT_TRUE(stream->started());
  // Each burst ends in a flood held back until it overflows; the next burst begins as soon
  // as reading resumes, while the resync runs.
  for (unsigned burst = 0; burst < 3; ++burst) {
    churn(root, outside, 150, GetParam() * 7 + burst);
    overflow_with_attributes(*stream, root);
  }
  ASSERT_TRUE(stream->wait_for(root, kKernelDropped, 20s)) << describe(stream->records(), 5);
  // A creation made while the queue is still full is lost with the rest (and reported as
  // such): the stream has caught up once one is reported.
  bool settled = false;
  for (int attempt = 0; attempt < 20 && !settled; ++attempt) {
    touch(root + "/settled-" + std::to_string(attempt));
    settled =
        stream->wait_for(root + "/settled-" + std::to_string(attempt), kCreated | kIsFile, 1s);
  }
  ASSERT_TRUE(settled) << describe(stream->records(), 20);
  // A resync put off by a later overflow may still be due.
  const auto unwatched = [&] {
    const std::set<ino_t> watched = kernel_watched_inodes();
    std::vector<std::string> found;
    for (const std::string& dir : directories_below(root)) {
      struct stat st;
      if (::lstat(dir.c_str(), &st) == 0 && !watched.contains(st.st_ino)) found.push_back(dir);
    }
    return found;
  };
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!unwatched().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(unwatched(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Seeds, PlatformStreamOverflows, ::testing::Range(0u, 10u));

// A tree that the watch limit leaves partly unwatched is polled instead, after one notice
// naming the first directory that could not be watched; nothing goes unreported.
TEST(PlatformStreamLimits, TreeBeyondTheWatchLimitIsPolled) {
  TempDir dir;
  for (const char* name : {"a", "b", "c", "d"}) fs::create_directory(dir / name);
  StreamOptions options;
  options.before_start = [](FSEventStreamRef stream) { seams::set_watch_limit(stream, 3); };
  StreamThread stream({dir.path()}, options);
  ASSERT_TRUE(stream.started());
  ASSERT_TRUE(stream.wait([&](const Records& seen) { return !seen.empty(); }));
  const Records notice = stream.records();
  ASSERT_EQ(notice.size(), 1u) << describe(notice);
  EXPECT_EQ(notice[0].flags, kUserDropped);
  EXPECT_TRUE(path_below(notice[0].path, dir.path())) << notice[0].path;
  EXPECT_EQ(seams::watch_count(stream.stream()), 0u) << "no watch is kept";
  EXPECT_EQ(seams::observers(stream.stream()),
            std::vector{vestra::platform::Observer::PollNoWatch});
  fs::create_directory(dir / "new");
  touch(dir / "d/file");
  ASSERT_TRUE(stream.wait_for(dir / "d/file", kCreated | kIsFile)) << describe(stream.records());
  EXPECT_TRUE(has(stream.records(), dir / "new", kCreated | kIsDir)) << describe(stream.records());
  EXPECT_EQ(stream.records().size(), 3u) << describe(stream.records());
}

/// Polls every 20 ms, and takes the directories at `remote` for remote mounts, for as long
/// as it lives.
struct QuickRemotePolls {
  explicit QuickRemotePolls(std::vector<std::string> remote) {
    ::setenv("VESTRA_POLL_INTERVAL", "0.02", 1);
    vestra::platform::treat_as_remote(std::move(remote));
  }
  ~QuickRemotePolls() {
    vestra::platform::treat_as_remote({});
    ::unsetenv("VESTRA_POLL_INTERVAL");
  }
};

/// The rows of `stream`'s coverage that poll, as (directory, reason).
std::vector<std::pair<std::string, std::string>> polled_rows(FSEventStreamRef stream) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& row : seams::coverage(stream)) {
    if (row.mechanism == "polling") rows.emplace_back(row.directory, row.reason);
  }
  return rows;
}

// A remote file system mounted inside the tree (here: named so by the seam) is polled from
// its mount point down, whether it was there at the start or came with a new directory;
// its path follows a rename above it, and its polling ends with the tree it was in.
TEST(PlatformStreamPolledMounts, PolledFromTheMountPointDown) {
  TempDir dir;
  fs::create_directories(dir / "a/remote/deep");
  touch(dir / "a/remote/deep/old");
  QuickRemotePolls remote({dir / "a/remote", dir / "new/remote"});
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  using Rows = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(polled_rows(stream.stream()), (Rows{{dir / "a/remote", "remote file system (fuse)"}}));
  const std::size_t watched = seams::watch_count(stream.stream());
  EXPECT_EQ(watched, 4u) << "the top, its parent, a and the mount point; nothing below it";

  touch(dir / "a/remote/deep/f");
  ASSERT_TRUE(stream.wait_for(dir / "a/remote/deep/f", kCreated | kIsFile))
      << describe(stream.records());
  fs::rename(dir / "a", dir / "b");
  touch(dir / "b/remote/g");
  ASSERT_TRUE(stream.wait_for(dir / "b/remote/g", kCreated | kIsFile))
      << describe(stream.records());
  EXPECT_EQ(polled_rows(stream.stream()), (Rows{{dir / "b/remote", "remote file system (fuse)"}}));

  // A directory moved in holding a mount: what the mount holds is reported as created, once.
  TempDir outside;
  fs::create_directories(outside / "staging/remote/sub");
  touch(outside / "staging/remote/sub/h");
  fs::rename(outside / "staging", dir / "new");
  ASSERT_TRUE(stream.settle(dir / "settled"));
  ASSERT_TRUE(stream.wait_for(dir / "new/remote/sub/h", kCreated | kIsFile, 5s))
      << describe(stream.records());
  ASSERT_TRUE(stream.settle(dir / "settled-2"));
  const Records seen = stream.records();
  const auto count = [&](const std::string& path) {
    return std::ranges::count_if(seen, [&](const Record& r) { return r.path == path; });
  };
  EXPECT_EQ(count(dir / "a/remote/deep/f"), 1) << describe(seen);
  EXPECT_EQ(count(dir / "b/remote/g"), 1) << describe(seen);
  EXPECT_EQ(count(dir / "new/remote/sub/h"), 1) << describe(seen);
  EXPECT_EQ(count(dir / "a/remote/deep/old"), 0) << "what it held at the start: " << describe(seen);
  EXPECT_EQ(polled_rows(stream.stream()).size(), 2u);

  fs::rename(dir / "b", outside / "b");  // moved out of the tree
  fs::remove_all(dir / "new");
  ASSERT_TRUE(stream.settle(dir / "settled-3"));
  ASSERT_TRUE(stream.wait([&](const Records&) { return polled_rows(stream.stream()).empty(); }))
      << "polling ends with the trees";
}

// Past the start, a directory the watch limit leaves without a watch is polled; the notice
// that the limit was reached comes once.
TEST(PlatformStreamLimits, DirectoryBeyondTheLimitAfterTheStartIsPolled) {
  TempDir dir;
  QuickRemotePolls quick({});
  StreamOptions options;
  // The top and its parent, watched for the top's own move.
  options.before_start = [](FSEventStreamRef stream) { seams::set_watch_limit(stream, 2); };
  StreamThread stream({dir.path()}, options);
  ASSERT_TRUE(stream.started());
  fs::create_directories(dir / "one/sub");
  ASSERT_TRUE(stream.wait_for(dir / "one/sub", kCreated | kIsDir)) << describe(stream.records());
  fs::create_directory(dir / "two");
  ASSERT_TRUE(stream.wait_for(dir / "two", kCreated | kIsDir)) << describe(stream.records());
  touch(dir / "one/sub/f");
  touch(dir / "two/g");
  ASSERT_TRUE(stream.wait_for(dir / "one/sub/f", kCreated | kIsFile)) << describe(stream.records());
  ASSERT_TRUE(stream.wait_for(dir / "two/g", kCreated | kIsFile)) << describe(stream.records());
  const Records seen = stream.records();
  EXPECT_EQ(std::ranges::count_if(seen, [](const Record& r) { return r.flags == kUserDropped; }), 1)
      << describe(seen);
  using Rows = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(polled_rows(stream.stream()),
            (Rows{{dir / "one", "watch limit reached"}, {dir / "two", "watch limit reached"}}));
  // Renamed, it is polled at its new name, with what it held.
  fs::rename(dir / "two", dir / "three");
  touch(dir / "three/h");
  ASSERT_TRUE(stream.wait_for(dir / "three/h", kCreated | kIsFile)) << describe(stream.records());
  EXPECT_FALSE(has(stream.records(), dir / "three/g", kCreated | kIsFile))
      << describe(stream.records());
  EXPECT_EQ(polled_rows(stream.stream()),
            (Rows{{dir / "one", "watch limit reached"}, {dir / "three", "watch limit reached"}}));
  EXPECT_EQ(std::ranges::count_if(stream.records(),
                                  [](const Record& r) { return r.flags == kUserDropped; }),
            1);
}

// ---------------------------------------------------------------------------------------
// Mounts and unmounts in and above a watched tree, in a private mount namespace: each runs
// in a child process, whose watch is replayed against the disk afterwards.

/// The paths below `root` (not `root` itself), crossing mounts, links not followed.
std::set<std::string> tree_paths(const std::string& root) {
  std::set<std::string> found;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    found.insert(it->path().string());
  }
  return found;
}

/// What the records say the tree holds, starting from `start`: creations and mounts add,
/// removals and unmounts take away (with what was below), a rename leaves the path as the
/// disk has it now. A lost event (must scan) is a failure of its own.
std::set<std::string> replay(std::set<std::string> model, const Records& records,
                             const std::string& root, std::string& failures) {
  const auto erase_below = [&](const std::string& path) {
    std::erase_if(model, [&](const std::string& held) { return path_below(held, path); });
  };
  for (const Record& record : records) {
    const std::string& path = record.path;
    if (record.flags & kFSEventStreamEventFlagMustScanSubDirs) {
      failures += "events lost under " + path + "\n";
    }
    if (record.flags & (kFSEventStreamEventFlagMount | kUnmount | kRemoved)) erase_below(path);
    if (record.flags & (kFSEventStreamEventFlagMount | kCreated)) model.insert(path);
    if (record.flags & kRenamed) {
      struct stat st;
      if (::lstat(path.c_str(), &st) == 0) {
        model.insert(path);
      } else {
        erase_below(path);
      }
    }
  }
  model.erase(root);
  return model;
}

struct MountScenario {
  const char* name;
  /// Makes the tree below `base`/root, before the watch starts.
  std::function<void(const std::string& base)> setup;
  /// Changes it while watched.
  std::function<void(const std::string& base)> change;
};

void PrintTo(const MountScenario& row, std::ostream* out) {
  *out << row.name;
}

void must(bool done, const std::string& what) {
  if (!done) throw std::runtime_error(what + ": " + std::strerror(errno));
}

void bind_mount(const std::string& source, const std::string& target) {
  // The kernel ignores the type of a bind mount; a string keeps memory checkers quiet.
  must(::mount(source.c_str(), target.c_str(), "none", MS_BIND, nullptr) == 0, "bind " + target);
}

void mount_tmpfs(const std::string& target) {
  must(::mount("vestra-test", target.c_str(), "tmpfs", 0, "size=1m") == 0, "mount " + target);
}

void unmount(const std::string& target) {
  must(::umount(target.c_str()) == 0, "umount " + target);
}

/// Runs `scenario` in the calling process, which has a mount namespace of its own. Returns
/// what is missing from the replay and what it has that the disk has not, empty when exact.
std::string run_mount_scenario(const MountScenario& scenario) {
  TempDir base;
  const std::string root = base / "root";
  fs::create_directories(root);
  scenario.setup(base.path());
  const std::set<std::string> before = tree_paths(root);
  std::string failures;
  {
    StreamThread stream({root});
    if (!stream.started()) return "the stream did not start";
    scenario.change(base.path());
    // The end marker: everything before it has been read.
    if (!stream.settle(root + "/settled")) return "no end marker\n" + describe(stream.records());
    const std::set<std::string> model = replay(before, stream.records(), root, failures);
    const std::set<std::string> disk = tree_paths(root);
    for (const std::string& path : disk) {
      if (!model.contains(path)) failures += "missing " + path + "\n";
    }
    for (const std::string& path : model) {
      if (!disk.contains(path)) failures += "phantom " + path + "\n";
    }
    if (!failures.empty()) failures += describe(stream.records());
  }
  return failures;
}

class PlatformStreamMounts : public ::testing::TestWithParam<MountScenario> {};

TEST_P(PlatformStreamMounts, ReplayMatchesTheDisk) {
  if (::geteuid() != 0) VESTRA_SKIP_FOR_ENVIRONMENT() << "mounting needs root";
  int output[2];
  ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string failures;
    try {
      must(::unshare(CLONE_NEWNS) == 0, "unshare");
      must(::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0, "private mounts");
      failures = run_mount_scenario(GetParam());
    } catch (const std::exception& error) {
      failures = error.what();
    }
    [[maybe_unused]] const ssize_t written = ::write(output[1], failures.data(), failures.size());
    ::_exit(failures.empty() ? 0 : 1);
  }
  ::close(output[1]);
  vestra::platform::FileDescriptor reader(output[0]);
  // The child is given a bound: a watch that hangs is ended.
  std::string failures;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      failures = "the scenario did not end\n";
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  char buffer[4096];
  ssize_t count;
  while ((count = ::read(reader.get(), buffer, sizeof buffer)) > 0) {
    failures.append(buffer, static_cast<std::size_t>(count));
  }
  EXPECT_EQ(failures, "");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

const MountScenario kMountScenarios[] = {
    // The top itself is a bind mount: once unmounted, what it covered is the tree, and the
    // former source, outside it now, is none of its business.
    {"BoundTopUnmounted",
     [](const std::string& base) {
       fs::create_directories(base + "/source/in/sub");
       touch(base + "/source/in/sub/e");
       touch(base + "/root/under");
       bind_mount(base + "/source", base + "/root");
     },
     [](const std::string& base) {
       unmount(base + "/root");
       touch(base + "/source/outside-now");
       fs::create_directories(base + "/root/after-umount");
       touch(base + "/root/after-umount/f");
     }},
    {"TmpfsTopUnmounted",
     [](const std::string& base) {
       touch(base + "/root/under");
       mount_tmpfs(base + "/root");
       fs::create_directories(base + "/root/in/sub");
     },
     [](const std::string& base) {
       unmount(base + "/root");
       touch(base + "/root/after-umount");
     }},
    {"BindInsideUnmounted",
     [](const std::string& base) {
       fs::create_directories(base + "/source/in/sub");
       touch(base + "/source/in/sub/e");
       fs::create_directories(base + "/root/mnt");
       touch(base + "/root/mnt/under");
       bind_mount(base + "/source", base + "/root/mnt");
     },
     [](const std::string& base) {
       unmount(base + "/root/mnt");
       touch(base + "/source/outside-now");
       touch(base + "/root/mnt/after-umount");
     }},
    {"TmpfsInsideUnmounted",
     [](const std::string& base) {
       fs::create_directories(base + "/root/mnt");
       touch(base + "/root/mnt/under");
       mount_tmpfs(base + "/root/mnt");
       fs::create_directories(base + "/root/mnt/in");
     },
     [](const std::string& base) {
       unmount(base + "/root/mnt");
       fs::create_directories(base + "/root/mnt/after-umount");
       touch(base + "/root/mnt/after-umount/f");
     }},
    // Made after the start: watched from then on, what it covers gone from the tree.
    {"TmpfsMountedInside",
     [](const std::string& base) {
       fs::create_directories(base + "/root/mnt");
       touch(base + "/root/mnt/under");
     },
     [](const std::string& base) {
       mount_tmpfs(base + "/root/mnt");
       fs::create_directories(base + "/root/mnt/d/e");
       touch(base + "/root/mnt/d/e/f");
     }},
    {"TmpfsMountedOverTheTop", [](const std::string& base) { touch(base + "/root/under"); },
     [](const std::string& base) {
       mount_tmpfs(base + "/root");
       fs::create_directories(base + "/root/d");
       touch(base + "/root/d/f");
     }},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, PlatformStreamMounts, ::testing::ValuesIn(kMountScenarios),
                         row_name);

TEST(PlatformStreamLimits, UnmountIsReported) {
  if (::geteuid() != 0) VESTRA_SKIP_FOR_ENVIRONMENT() << "mounting needs root";
  TempDir dir;
  const std::string mount_point = dir / "mnt";
  fs::create_directory(mount_point);
  if (::mount("vestra-test", mount_point.c_str(), "tmpfs", 0, "size=1m") != 0) {
    VESTRA_SKIP_FOR_ENVIRONMENT() << "cannot mount a tmpfs here";
  }
  fs::create_directories(mount_point + "/inner/deeper");
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  // What is on the mounted file system is watched like the rest, until the unmount.
  touch(mount_point + "/inner/on-tmpfs");
  ASSERT_TRUE(stream.wait_for(mount_point + "/inner/on-tmpfs", kCreated | kIsFile))
      << describe(stream.records());
  ASSERT_EQ(::umount(mount_point.c_str()), 0);
  ASSERT_TRUE(stream.wait_for(mount_point, kUnmount)) << describe(stream.records());
  // The directory that the mount covered is watched in its place: the top and it.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  const std::size_t expected = 2 + above(dir.path());
  while (seams::watch_count(stream.stream()) != expected &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(seams::watch_count(stream.stream()), expected);
  ASSERT_TRUE(stream.settle(mount_point + "/beneath")) << describe(stream.records());
  ASSERT_TRUE(stream.settle(dir / "elsewhere")) << describe(stream.records());
  const Records seen = stream.records();
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                          [](const Record& record) { return record.flags == kUnmount; }),
            1)
      << describe(seen);
  EXPECT_EQ(count_of(stream.records(), mount_point + "/inner"), 0u) << describe(stream.records());
  EXPECT_EQ(count_of(stream.records(), mount_point + "/inner/deeper"), 0u)
      << describe(stream.records());
}

// ---------------------------------------------------------------------------------------
// Paths.

TEST(PlatformStreamPaths, NamesThatAreNotUtf8TravelAsBytes) {
  TempDir dir;
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  const std::string name = "bad-\xff\xfe-\xc3(";
  fs::create_directory(dir / name);
  touch(dir / (name + "/\x80"));
  ASSERT_TRUE(stream.wait([&](const Records& seen) {
    return has(seen, dir / name, kCreated | kIsDir) &&
           has(seen, dir / (name + "/\x80"), kCreated | kIsFile);
  })) << describe(stream.records());
}

TEST(PlatformStreamPaths, OverlappingPathsReportEachEventOnce) {
  TempDir base;
  const std::string one = base / "one", two = base / "two";
  fs::create_directories(one + "/sub");
  fs::create_directories(two);
  StreamThread stream({one, two, one, one + "/sub", one + "/./sub/"});
  ASSERT_TRUE(stream.started());
  touch(one + "/sub/f");
  touch(two + "/g");
  ASSERT_TRUE(stream.wait([&](const Records& seen) {
    return has(seen, one + "/sub/f", kCreated | kIsFile) &&
           has(seen, two + "/g", kCreated | kIsFile);
  })) << describe(stream.records());
  ASSERT_TRUE(stream.settle(one + "/settled"));
  EXPECT_EQ(count_of(stream.records(), one + "/sub/f"), 1u) << describe(stream.records());
}

TEST(PlatformStreamPaths, PathsCanBeDeliveredAsStringObjects) {
  TempDir dir;
  StreamOptions options;
  options.flags = kFSEventStreamCreateFlagUseCFTypes;
  StreamThread stream({dir.path()}, options);
  ASSERT_TRUE(stream.started());
  touch(dir / "f");
  ASSERT_TRUE(stream.wait_for(dir / "f", kCreated | kIsFile)) << describe(stream.records());
}

// ---------------------------------------------------------------------------------------
// Lifecycle.

// An unscheduled stream does not start. Stopping a stream that never started, or
// invalidating one never scheduled, is invalid on macOS and a fatal error here; the stream
// can still be released, which releases its context once.
TEST(PlatformStreamLifecycle, TearDownOutOfOrderIsFatal) {
  const std::string never_started = "FSEventStreamStop on a stream that was never started";
  struct Case {
    bool schedule;
    void (*call)(FSEventStreamRef);
    std::string message;
  };
  const Case cases[] = {
      {false, FSEventStreamStop, never_started},
      {true, FSEventStreamStop, never_started},  // its start refused
      {false, FSEventStreamInvalidate,
       "FSEventStreamInvalidate on a stream that was never scheduled"},
  };
  for (const Case& c : cases) {
    int releases = 0;
    FSEventStreamContext context{
        0, &releases, nullptr,
        [](const void* info) { ++*static_cast<int*>(const_cast<void*>(info)); }, nullptr};
    FSEventStreamRef stream = create_ignoring_stream("/tmp", &context);
    ASSERT_NE(stream, nullptr);
    if (c.schedule) {
      FSEventStreamScheduleWithRunLoop(stream, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
      seams::refuse_next_start();
    }
    EXPECT_FALSE(FSEventStreamStart(stream));
    testing::internal::CaptureStderr();
    try {
      c.call(stream);
      ADD_FAILURE() << "no fatal error: " << c.message;
    } catch (const vestra::Panic& error) {
      EXPECT_EQ(error.message(), c.message);
    }
    testing::internal::GetCapturedStderr();
    if (c.schedule) FSEventStreamInvalidate(stream);
    FSEventStreamRelease(stream);
    EXPECT_EQ(releases, 1) << c.message;
  }
}

TEST(PlatformStreamLifecycle, ManyCyclesOnOneThreadLeaveNoDescriptorBehind) {
  TempDir dir;
  fs::create_directories(dir / "a/b");
  const std::size_t descriptors = count_entries("/proc/self/fd");
  std::thread([&] {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    for (int cycle = 0; cycle < 200; ++cycle) {
      FSEventStreamRef stream = create_ignoring_stream(dir.path());
      FSEventStreamScheduleWithRunLoop(stream, loop, kCFRunLoopDefaultMode);
      EXPECT_TRUE(FSEventStreamStart(stream));
      EXPECT_EQ(seams::watch_count(stream), 3u + above(dir.path()));
      FSEventStreamStop(stream);
      FSEventStreamInvalidate(stream);
      FSEventStreamRelease(stream);
    }
  }).join();
  EXPECT_EQ(count_entries("/proc/self/fd"), descriptors);
}

// Only changes after the start are reported, with ids above any given out before it.
TEST(PlatformStreamLifecycle, OnlyLaterChangesAreReportedWithLaterIds) {
  TempDir dir;
  touch(dir / "before");
  const FSEventStreamEventId before = FSEventsGetCurrentEventId();
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.settle(dir / "after"));
  const Records seen = stream.records();
  EXPECT_EQ(count_of(seen, dir / "before"), 0u) << describe(seen);
  ASSERT_FALSE(seen.empty());
  EXPECT_GT(seen.front().id, before);
  EXPECT_GE(FSEventsGetCurrentEventId(), seen.back().id);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Measurements, run on demand:
//   vestra_tests --gtest_also_run_disabled_tests --gtest_filter='PlatformStreamMeasure.*'
// VESTRA_MEASURE_DIR chooses the file system (default /tmp).

std::string measure_base() {
  const char* chosen = std::getenv("VESTRA_MEASURE_DIR");
  return chosen ? chosen : "/tmp";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(PlatformStreamMeasure, DISABLED_DrainRateOfAFullQueue) {
  TempDir dir(measure_base());
  StreamThread stream({dir.path()});
  ASSERT_TRUE(stream.started());
  const std::size_t events = queue_limit() - 100;
  struct Kind {
    const char* name;
    std::function<void(std::size_t)> make;
    UInt32 flags;
  };
  touch(dir.path() + "/a");
  touch(dir.path() + "/b");
  const Kind kinds[] = {
      {"creations", [&](std::size_t i) { touch(dir.path() + "/c" + std::to_string(i)); },
       kCreated | kIsFile},
      {"attribute changes",
       [&](std::size_t i) {
         ::chmod((dir.path() + (i % 2 ? "/a" : "/b")).c_str(), (i / 2) % 2 ? 0600 : 0644);
       },
       kMetaMod | kIsFile},
  };
  for (const Kind& kind : kinds) {
    ASSERT_TRUE(stream.settle(dir.path() + "/settle-" + kind.name));
    const std::size_t before = stream.records().size();
    seams::hold_reading(stream.stream());
    for (std::size_t i = 0; i < events; ++i) kind.make(i);
    const auto start = std::chrono::steady_clock::now();
    seams::release_reading(stream.stream());
    stream.wait([&](const Records& seen) { return seen.size() >= before + events; }, 60s);
    const double drained = seconds_since(start);
    std::printf("drain: %zu queued %s read and delivered in %.3f s (%.0f/s)\n", events, kind.name,
                drained, events / drained);
  }
}
