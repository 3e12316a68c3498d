#include "native/watch_state.h"

#include <gtest/gtest.h>

namespace vestra {
namespace {

using namespace std::chrono_literals;

struct FilterCase {
  const char* name;
  NativeEvent event;
  std::vector<std::string> kept;
};
void PrintTo(const FilterCase& c, std::ostream* out) {
  *out << c.name;
}

class WatchStateFilterTest : public ::testing::TestWithParam<FilterCase> {};

// What the ignore rules leave of each event: renames across the boundary are seen from
// the visible side only.
TEST_P(WatchStateFilterTest, KeepsTheVisibleSide) {
  const FilterCase& c = GetParam();
  WatchState state(Batcher::Settings{0ms, 1s, false}, {"node_modules"});
  state.roots = {"/w"};
  std::vector<NativeEvent> events{c.event};
  state.add(events);
  std::vector<std::string> kept;
  for (const NativeEvent& event : state.batcher.take()) {
    kept.push_back(event.text + " " + event.path +
                   (event.old_path ? " <- " + *event.old_path : ""));
  }
  EXPECT_EQ(kept, c.kept);
  EXPECT_EQ(state.due, !c.kept.empty()) << "due at once with no quiet window";
}

NativeEvent event(const char* text, const char* path, const char* old_path = nullptr) {
  return NativeEvent{text, path, old_path ? std::optional<Path>(old_path) : std::nullopt,
                     IsDir::No};
}

INSTANTIATE_TEST_SUITE_P(
    Table, WatchStateFilterTest,
    ::testing::Values(
        FilterCase{"visible", event("Create(File)", "/w/src/a"), {"Create(File) /w/src/a"}},
        FilterCase{"ignored", event("Create(File)", "/w/node_modules/a"), {}},
        FilterCase{
            "below_an_ignored_directory", event("Create(File)", "/w/x/node_modules/b/c"), {}},
        FilterCase{"outside_every_root",
                   event("Create(File)", "/elsewhere/node_modules"),
                   {"Create(File) /elsewhere/node_modules"}},
        FilterCase{"renamed_into_ignored",
                   event("Modify(Name(Both))", "/w/node_modules/a", "/w/src/a"),
                   {"Modify(Name(From)) /w/src/a"}},
        FilterCase{"renamed_out_of_ignored",
                   event("Modify(Name(Both))", "/w/src/a", "/w/node_modules/a"),
                   {"Modify(Name(To)) /w/src/a"}},
        FilterCase{"renamed_inside_ignored",
                   event("Modify(Name(Both))", "/w/node_modules/b", "/w/node_modules/a"),
                   {}},
        FilterCase{"exchanged_with_ignored",
                   event("Modify(Name(Other))", "/w/src/a", "/w/node_modules/a"),
                   {"Modify(Name(From)) /w/src/a", "Modify(Name(To)) /w/src/a"}}));

}  // namespace
}  // namespace vestra
