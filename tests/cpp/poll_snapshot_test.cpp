// Snapshots of a real tree: what they record, and which directories they list again.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/linux/poll_snapshot.h"
#include "test_support.h"

namespace vestra::platform {
namespace {

using testing_support::TempDir;

void write(const std::string& path, const char* text) {
  std::ofstream(path, std::ios::app) << text;
}

// Every entry is recorded by its path below the top with its type; a symbolic link is not
// followed.
TEST(PollSnapshot, RecordsEveryEntry) {
  TempDir dir;
  ::mkdir((dir / "d").c_str(), 0755);
  write(dir / "d/f", "x");
  ASSERT_EQ(::symlink("d", (dir / "l").c_str()), 0);
  const Snapshot snapshot = take_snapshot(dir.path());
  std::vector<std::pair<std::string, EntryType>> seen;
  for (const auto& [path, entry] : snapshot) seen.emplace_back(path, entry.status.type);
  const std::vector<std::pair<std::string, EntryType>> expected = {
      {"", EntryType::Directory},
      {"d", EntryType::Directory},
      {"d/f", EntryType::File},
      {"l", EntryType::Symlink}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(snapshot.at("d/f").status.size, 1);
  EXPECT_EQ(snapshot.at("d").names, std::vector<std::string>{"f"});
}

// Nothing there: an empty snapshot.
TEST(PollSnapshot, MissingTopIsEmpty) {
  TempDir dir;
  EXPECT_TRUE(take_snapshot(dir / "none").empty());
}

// A directory is listed again until its modification time has held for two polls; then
// only the entries are looked at, so a write is still seen, and a new name changes the time.
TEST(PollSnapshot, ListsOnlyWhatMayHaveChanged) {
  TempDir dir;
  ::mkdir((dir / "d").c_str(), 0755);
  write(dir / "d/f", "x");
  Snapshot first = take_snapshot(dir.path());
  EXPECT_EQ(listed_by_last_snapshot(), 2u) << "first look";
  Snapshot second = take_snapshot(dir.path(), &first);
  EXPECT_EQ(listed_by_last_snapshot(), 2u) << "a change in the same clock tick may be unseen";
  Snapshot third = take_snapshot(dir.path(), &second);
  EXPECT_EQ(listed_by_last_snapshot(), 0u) << "settled";

  write(dir / "d/f", "more");
  Snapshot written = take_snapshot(dir.path(), &third);
  EXPECT_EQ(listed_by_last_snapshot(), 0u);
  EXPECT_EQ(written.at("d/f").status.size, 5) << "the write is seen without a listing";

  write(dir / "d/g", "");
  Snapshot grown = take_snapshot(dir.path(), &written);
  EXPECT_EQ(listed_by_last_snapshot(), 1u);
  EXPECT_TRUE(grown.contains("d/g"));
}

// Out of descriptors deep in a tree: what could not be opened keeps its last poll's view
// instead of being taken as removed.
TEST(PollSnapshot, UnopenableDirectoryKeepsItsLastView) {
  TempDir dir;
  std::string path = dir.path();
  for (int depth = 0; depth < 40; ++depth) {
    path += "/d";
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    write(path + "/f", "x");
  }
  const Snapshot first = take_snapshot(dir.path());
  ASSERT_EQ(first.size(), 81u);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = testing_support::count_entries("/proc/self/fd") + 10;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const Snapshot second = take_snapshot(dir.path(), &first);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  std::vector<std::string> before;
  std::vector<std::string> after;
  for (const auto& [entry, status] : first) before.push_back(entry);
  for (const auto& [entry, status] : second) after.push_back(entry);
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace vestra::platform
