#include "native/coalesce.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vestra {
namespace {

/// A batch written as "text path" lines (old_path after "<-"), for tables.
std::vector<NativeEvent> batch_of(const std::vector<std::string>& lines) {
  std::vector<NativeEvent> batch;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    NativeEvent event;
    std::string arrow, old_path;
    in >> event.text >> event.path >> arrow >> old_path;
    if (arrow == "<-") event.old_path = old_path;
    batch.push_back(std::move(event));
  }
  return batch;
}

std::vector<std::string> lines_of(const std::vector<NativeEvent>& batch) {
  std::vector<std::string> lines;
  for (const NativeEvent& event : batch) {
    lines.push_back(event.text + " " + event.path +
                    (event.old_path ? " <- " + *event.old_path : std::string()));
  }
  return lines;
}

struct CoalesceCase {
  const char* name;
  std::vector<std::string> batch;
  std::vector<std::string> net;
};
void PrintTo(const CoalesceCase& c, std::ostream* out) {
  *out << c.name;
}

class CoalesceTest : public testing::TestWithParam<CoalesceCase> {};

// The net change per path, in the order of each path's first event.
TEST_P(CoalesceTest, NetChangePerPath) {
  const CoalesceCase& c = GetParam();
  EXPECT_EQ(lines_of(coalesce(batch_of(c.batch))), c.net);
}

const char* kCreate = "Create(File)";
const char* kRemove = "Remove(File)";
const char* kWrite = "Modify(Data(Content))";

std::string line(const char* text, const char* path) {
  return std::string(text) + " " + path;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CoalesceTest,
    testing::Values(
        CoalesceCase{"created_then_removed_is_nothing",
                     {line(kCreate, "/a"), line(kWrite, "/a"), line(kRemove, "/a")},
                     {}},
        CoalesceCase{"many_writes_are_one",
                     {line(kWrite, "/a"), line(kWrite, "/b"), line(kWrite, "/a")},
                     {line(kWrite, "/a"), line(kWrite, "/b")}},
        CoalesceCase{"created_and_written_is_created",
                     {line(kCreate, "/a"), line(kWrite, "/a"), "Modify(Metadata(Any)) /a"},
                     {line(kCreate, "/a")}},
        CoalesceCase{"removed_then_created_is_created",
                     {line(kRemove, "/a"), line(kCreate, "/a")},
                     {line(kCreate, "/a")}},
        CoalesceCase{"written_then_removed_is_removed",
                     {line(kWrite, "/a"), line(kRemove, "/a")},
                     {line(kRemove, "/a")}},
        CoalesceCase{"metadata_alone_stays",
                     {"Modify(Metadata(Any)) /a", "Modify(Metadata(Any)) /a"},
                     {"Modify(Metadata(Any)) /a"}},
        CoalesceCase{"renames_stay_in_place_and_split_the_paths_they_name",
                     {line(kWrite, "/a"), "Modify(Name(Both)) /b <- /a", line(kWrite, "/b"),
                      line(kWrite, "/a")},
                     {line(kWrite, "/a"), "Modify(Name(Both)) /b <- /a", line(kWrite, "/b"),
                      line(kWrite, "/a")}},
        CoalesceCase{"rescans_stay", {"Other /x", "Other /x"}, {"Other /x", "Other /x"}}));

}  // namespace
}  // namespace vestra
