// The pacing of resyncs after overflows, on a clock the test moves by hand.
#include "platform/linux/overflow_backoff.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vestra::platform::OverflowBackoff;
using Delay = std::optional<std::chrono::milliseconds>;
constexpr Delay kCovered = std::nullopt;

/// One overflow: when it comes, whether the resync it calls for runs before the next one
/// comes, and what it must call for.
struct Step {
  std::chrono::milliseconds at;
  bool resynced;
  Delay wait;
};

struct BackoffCase {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const BackoffCase& row, std::ostream* out) {
  *out << row.name;
}

class OverflowBackoffSteps : public ::testing::TestWithParam<BackoffCase> {};

TEST_P(OverflowBackoffSteps, CallsForTheExpectedWait) {
  OverflowBackoff backoff;
  const OverflowBackoff::Clock::time_point start{24h};  // any moment, far from the epoch
  std::size_t number = 0;
  for (const Step& step : GetParam().steps) {
    EXPECT_EQ(backoff.on_overflow(start + step.at), step.wait)
        << "overflow " << number << " at " << step.at.count() << " ms";
    if (step.resynced) backoff.on_resync();
    ++number;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OverflowBackoffSteps,
    ::testing::Values(
        // Three at once, then twice as long each time, up to the longest wait.
        BackoffCase{"FloodDoublesUpToTheLongestWait",
                    {{0ms, true, 0ms},
                     {1ms, true, 0ms},
                     {2ms, true, 0ms},
                     {3ms, true, 100ms},
                     {200ms, true, 200ms},
                     {500ms, true, 400ms},
                     {1s, true, 800ms},
                     {2s, true, 1600ms},
                     {4s, true, 3200ms},
                     {8s, true, 4000ms},
                     {9s, true, 4000ms}}},
        // Overflows while a put-off resync is pending ask for nothing and do not count.
        BackoffCase{"PendingResyncCoversLaterOverflows",
                    {{0ms, true, 0ms},
                     {1ms, true, 0ms},
                     {2ms, true, 0ms},
                     {3ms, false, 100ms},
                     {50ms, false, kCovered},
                     {90ms, true, kCovered},
                     {150ms, true, 200ms}}},
        // After a quiet spell the count starts over: the resync runs at once again.
        BackoffCase{"QuietSpellStartsOver",
                    {{0ms, true, 0ms},
                     {1s, true, 0ms},
                     {2s, true, 0ms},
                     {3s, true, 100ms},
                     {4s, true, 200ms},
                     {14500ms, true, 0ms},
                     {14600ms, true, 0ms}}},
        // The spell runs from the last overflow, one covered by a pending resync included.
        BackoffCase{"QuietSpellRunsFromTheLastOverflow",
                    {{0ms, true, 0ms},
                     {1ms, true, 0ms},
                     {2ms, true, 0ms},
                     {3ms, false, 100ms},
                     {9s, true, kCovered},
                     {18s, true, 200ms},
                     {28500ms, true, 0ms}}}),
    [](const auto& info) { return std::string(info.param.name); });

// The options set every threshold.
TEST(OverflowBackoff, OptionsSetTheThresholds) {
  OverflowBackoff backoff({.immediate = 1, .first_delay = 10ms, .max_delay = 15ms, .quiet = 1s});
  const OverflowBackoff::Clock::time_point start{24h};
  const Step steps[] = {
      {0ms, true, 0ms}, {1ms, true, 10ms}, {2ms, true, 15ms}, {1500ms, true, 0ms}};
  for (const Step& step : steps) {
    EXPECT_EQ(backoff.on_overflow(start + step.at), step.wait) << step.at.count() << " ms";
    backoff.on_resync();
  }
}

}  // namespace
