// Polling real trees: the records of changes made between two polls, and the choice of what
// is polled.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/linux/poll_choice.h"
#include "platform/linux/poll_set.h"
#include "platform/linux/record_flags.h"
#include "test_support.h"

namespace vestra::platform {
namespace {

using namespace record_flags;
using namespace std::chrono_literals;
using testing_support::TempDir;

std::vector<std::pair<std::string, FSEventStreamEventFlags>> polled(PollSet& set) {
  EventBatch batch;
  set.poll(batch);
  std::vector<std::pair<std::string, FSEventStreamEventFlags>> seen;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    seen.emplace_back(std::string(batch.path(i)), batch.flags()[i]);
  }
  return seen;
}

// What changed between two polls comes as the records of the inotify path: a removal, a
// moved directory as one rename, a new file, a write.
TEST(PollSet, ReportsWhatChangedSinceTheLastPoll) {
  TempDir dir;
  ::mkdir((dir / "d").c_str(), 0755);
  std::ofstream(dir / "d/f") << "x";
  std::ofstream(dir / "gone") << "x";
  PollSet set({dir.path()}, 1000ms);
  set.start();
  EXPECT_EQ(set.entry_count(), 4u);
  EXPECT_TRUE(polled(set).empty()) << "nothing changed";

  ASSERT_EQ(::rename((dir / "d").c_str(), (dir / "e").c_str()), 0);
  std::ofstream(dir / "e/f", std::ios::app) << "more";
  std::ofstream(dir / "new") << "";
  ASSERT_EQ(::unlink((dir / "gone").c_str()), 0);
  const std::vector<std::pair<std::string, FSEventStreamEventFlags>> expected = {
      {dir / "gone", kRemoved | kIsFile}, {dir / "d", kRenamed | kIsDir},
      {dir / "e", kRenamed | kIsDir},     {dir / "new", kCreated | kIsFile},
      {dir / "e/f", kModified | kIsFile}};
  EXPECT_EQ(polled(set), expected);
  EXPECT_TRUE(polled(set).empty()) << "reported once";
  EXPECT_GE(set.delay(), 1000ms) << "never sooner than the interval";
}

// A top that goes and comes back: all of it removed, then all of it created.
TEST(PollSet, TopRemovedAndMadeAgain) {
  TempDir dir;
  const std::string top = dir / "top";
  ::mkdir(top.c_str(), 0755);
  PollSet set({top}, 1000ms);
  set.start();
  ASSERT_EQ(::rmdir(top.c_str()), 0);
  const std::vector<std::pair<std::string, FSEventStreamEventFlags>> removed = {
      {top, kRemoved | kIsDir}};
  EXPECT_EQ(polled(set), removed);
  ::mkdir(top.c_str(), 0755);
  const std::vector<std::pair<std::string, FSEventStreamEventFlags>> created = {
      {top, kCreated | kIsDir}};
  EXPECT_EQ(polled(set), created);
}

struct TypeRow {
  long magic;
  const char* name;
};

class RemoteTypes : public ::testing::TestWithParam<TypeRow> {};

// File systems changed from elsewhere are polled; local ones are watched.
TEST_P(RemoteTypes, AreNamed) {
  EXPECT_EQ(remote_file_system(GetParam().magic), std::string_view(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Polling, RemoteTypes,
                         ::testing::Values(TypeRow{0x6969, "nfs"}, TypeRow{0xFF534D42, "cifs"},
                                           TypeRow{0x01021997, "9p"},
                                           TypeRow{0x65735546, "fuse"},
                                           TypeRow{0x00C36400, "ceph"},
                                           TypeRow{0xEF53, ""},        // ext4
                                           TypeRow{0x58465342, ""},    // xfs
                                           TypeRow{0x9123683E, ""},    // btrfs
                                           TypeRow{0x01021994, ""},    // tmpfs
                                           TypeRow{0x794C7630, ""}));  // overlay

// VESTRA_POLL=1 polls every path; otherwise a local path, or a missing one below it, keeps
// inotify.
TEST(PollChoice, ForcedOnlyByTheVariable) {
  TempDir dir;
  const std::string missing = dir / "not/yet";
  ::unsetenv("VESTRA_POLL");
  EXPECT_EQ(choose_observer(dir.path()).observer, Observer::Inotify);
  EXPECT_EQ(choose_observer(missing).observer, Observer::Inotify);
  ::setenv("VESTRA_POLL", "0", 1);
  EXPECT_EQ(choose_observer(dir.path()).observer, Observer::Inotify);
  ::setenv("VESTRA_POLL", "1", 1);
  EXPECT_EQ(choose_observer(dir.path()).observer, Observer::PollForced);
  EXPECT_EQ(choose_observer(missing).observer, Observer::PollForced);
  ::unsetenv("VESTRA_POLL");
}

struct IntervalRow {
  const char* value;
  std::chrono::milliseconds expected;
};

class Intervals : public ::testing::TestWithParam<IntervalRow> {};

// VESTRA_POLL_INTERVAL in seconds; anything else than a positive number keeps the default.
TEST_P(Intervals, AreRead) {
  const IntervalRow& row = GetParam();
  if (row.value) {
    ::setenv("VESTRA_POLL_INTERVAL", row.value, 1);
  } else {
    ::unsetenv("VESTRA_POLL_INTERVAL");
  }
  EXPECT_EQ(poll_interval(), row.expected) << (row.value ? row.value : "unset");
  ::unsetenv("VESTRA_POLL_INTERVAL");
}

INSTANTIATE_TEST_SUITE_P(Polling, Intervals,
                         ::testing::Values(IntervalRow{nullptr, 1000ms}, IntervalRow{"2", 2000ms},
                                           IntervalRow{"0.05", 50ms}, IntervalRow{"0", 1000ms},
                                           IntervalRow{"-1", 1000ms}, IntervalRow{"1s", 1000ms},
                                           IntervalRow{"", 1000ms}));

}  // namespace
}  // namespace vestra::platform
