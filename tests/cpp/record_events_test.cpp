#include "native/record_events.h"

#include <gtest/gtest.h>

#include <string>

namespace vestra {
namespace {

constexpr FSEventStreamEventFlags kRenamedFile =
    kFSEventStreamEventFlagItemRenamed | kFSEventStreamEventFlagItemIsFile;
constexpr FSEventStreamEventFlags kRenamedDir =
    kFSEventStreamEventFlagItemRenamed | kFSEventStreamEventFlagItemIsDir;
constexpr FSEventStreamEventFlags kCreatedFile =
    kFSEventStreamEventFlagItemCreated | kFSEventStreamEventFlagItemIsFile;

/// A record as the platform hands it over: path, flags and rename mark.
struct Record {
  const char* path;
  FSEventStreamEventFlags flags;
  std::uint64_t mark;
};

constexpr std::uint64_t old_half(std::uint64_t key) {
  return key << 2 | 1;
}
constexpr std::uint64_t new_half(std::uint64_t key) {
  return key << 2 | 2;
}
/// A half of the first (part 1) or second (part 2) rename of an exchange.
constexpr std::uint64_t exchanging(std::uint64_t mark, int part) {
  return mark | std::uint64_t{1} << (39 + part);
}

std::vector<std::string> read(const std::vector<Record>& records, bool marked = true) {
  std::vector<const char*> paths;
  std::vector<FSEventStreamEventFlags> flags;
  std::vector<std::uint64_t> marks;
  for (const Record& record : records) {
    paths.push_back(record.path);
    flags.push_back(record.flags);
    marks.push_back(record.mark);
  }
  StreamRecords stream{records.size(), paths.data(), flags.data(), marked ? marks.data() : nullptr};
  std::vector<NativeEvent> events;
  append_record_events(
      stream, [](std::string_view path) { return path.starts_with("/in/"); }, events);
  std::vector<std::string> lines;
  for (const NativeEvent& event : events) {
    lines.push_back(event.text + " " + event.path +
                    (event.old_path ? " <- " + *event.old_path : std::string()) + " " +
                    std::to_string(static_cast<int>(event.is_dir)));
  }
  return lines;
}

struct PairingCase {
  const char* name;
  std::vector<Record> records;
  std::vector<std::string> events;
};
void PrintTo(const PairingCase& c, std::ostream* out) {
  *out << c.name;
}

class PairingTest : public testing::TestWithParam<PairingCase> {};

// Renames are paired by their marks only, never by paths or by asking the disk.
TEST_P(PairingTest, PairsByMarks) {
  const PairingCase& c = GetParam();
  EXPECT_EQ(read(c.records), c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PairingTest,
    testing::Values(
        PairingCase{"pair_inside",
                    {{"/in/a", kRenamedFile, old_half(7)}, {"/in/b", kRenamedFile, new_half(7)}},
                    {"Modify(Name(Both)) /in/b <- /in/a 0"}},
        PairingCase{"pair_of_a_directory",
                    {{"/in/d", kRenamedDir, old_half(7)}, {"/in/e", kRenamedDir, new_half(7)}},
                    {"Modify(Name(Both)) /in/e <- /in/d 1"}},
        PairingCase{"lone_old_half_is_moved_out",
                    {{"/in/a", kRenamedFile, old_half(7)}},
                    {"Modify(Name(From)) /in/a 0"}},
        PairingCase{"lone_new_half_is_moved_in",
                    {{"/in/b", kRenamedFile, new_half(9)}},
                    {"Modify(Name(To)) /in/b 0"}},
        PairingCase{"two_lone_halves_with_other_keys",
                    {{"/in/a", kRenamedFile, old_half(7)}, {"/in/b", kRenamedFile, new_half(8)}},
                    {"Modify(Name(From)) /in/a 0", "Modify(Name(To)) /in/b 0"}},
        PairingCase{"new_half_first_is_no_pair",
                    {{"/in/b", kRenamedFile, new_half(7)}, {"/in/a", kRenamedFile, old_half(7)}},
                    {"Modify(Name(To)) /in/b 0", "Modify(Name(From)) /in/a 0"}},
        PairingCase{"arrival_before_the_departure_of_another_type_is_put_after_it",
                    {{"/in/x", kRenamedDir, new_half(7)}, {"/in/x", kRenamedFile, old_half(8)}},
                    {"Modify(Name(From)) /in/x 0", "Modify(Name(To)) /in/x 1"}},
        PairingCase{"arrival_before_the_departure_of_the_same_type_stays",
                    {{"/in/x", kRenamedFile, new_half(7)}, {"/in/x", kRenamedFile, old_half(8)}},
                    {"Modify(Name(To)) /in/x 0", "Modify(Name(From)) /in/x 0"}},
        PairingCase{"pair_leaving_the_watched_paths",
                    {{"/in/a", kRenamedFile, old_half(7)}, {"/out/a", kRenamedFile, new_half(7)}},
                    {"Modify(Name(From)) /in/a 0"}},
        PairingCase{"pair_entering_the_watched_paths",
                    {{"/out/a", kRenamedFile, old_half(7)}, {"/in/a", kRenamedFile, new_half(7)}},
                    {"Modify(Name(To)) /in/a 0"}},
        PairingCase{"exchange_is_one_event",
                    {{"/in/a", kRenamedDir, exchanging(old_half(7), 1)},
                     {"/in/b", kRenamedDir, exchanging(new_half(7), 1)},
                     {"/in/b", kRenamedDir, exchanging(old_half(8), 2)},
                     {"/in/a", kRenamedDir, exchanging(new_half(8), 2)}},
                    {"Modify(Name(Other)) /in/b <- /in/a 1"}},
        PairingCase{"exchange_with_one_side_outside_is_a_move_out_and_in",
                    {{"/in/a", kRenamedDir, exchanging(old_half(7), 1)},
                     {"/out/b", kRenamedDir, exchanging(new_half(7), 1)},
                     {"/out/b", kRenamedDir, exchanging(old_half(8), 2)},
                     {"/in/a", kRenamedDir, exchanging(new_half(8), 2)}},
                    {"Modify(Name(From)) /in/a 1", "Modify(Name(To)) /in/a 1"}},
        PairingCase{"unmarked_rename", {{"/in/a", kRenamedFile, 0}}, {"Modify(Name(Any)) /in/a 0"}},
        PairingCase{"other_records_around_a_pair",
                    {{"/in/n", kCreatedFile, 0},
                     {"/in/a", kRenamedFile, old_half(7)},
                     {"/in/b", kRenamedFile, new_half(7)},
                     {"/out/x", kCreatedFile, 0}},
                    {"Create(File) /in/n 0", "Modify(Name(Both)) /in/b <- /in/a 0"}}));

// Where the platform pairs nothing, every rename half is left as it is.
TEST(PairingTest, NoMarksNoPairs) {
  EXPECT_EQ(read({{"/in/a", kRenamedFile, 0}, {"/in/b", kRenamedFile, 0}}, false),
            (std::vector<std::string>{"Modify(Name(Any)) /in/a 0", "Modify(Name(Any)) /in/b 0"}));
}

}  // namespace
}  // namespace vestra
