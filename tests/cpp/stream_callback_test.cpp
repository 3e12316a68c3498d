#include "backend/stream_callback.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "event/kind_text.h"
#include "module/delivery.h"
#include "support/log.h"

namespace vestra {
namespace {

using namespace std::chrono_literals;
using F = StreamFlags;

/// What one event looks like from outside: its kind text, info and flag.
struct Seen {
  Seen(std::string kind, std::string info = "", bool rescan = false)  // NOLINT: brace lists
      : kind(std::move(kind)), info(std::move(info)), rescan(rescan) {}
  std::string kind;
  std::string info;  // "" when absent
  bool rescan;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
  return out << s.kind << (s.info.empty() ? "" : " [" + s.info + "]")
             << (s.rescan ? " rescan" : "");
}

std::vector<Seen> translate(std::uint32_t bits) {
  std::vector<Seen> out;
  for (const Event& e : events_from_flags(*StreamFlags::from_bits(bits))) {
    const std::string* info = e.attributes().info();
    out.push_back(
        {kind_text(e.kind()), info ? *info : "", e.attributes().flag() == EventFlag::Rescan});
    EXPECT_TRUE(e.paths().empty()) << "translation adds no paths";
  }
  return out;
}

struct RuleCase {
  const char* intent;
  std::uint32_t flags;
  std::vector<Seen> events;
};

const std::vector<RuleCase>& rule_cases() {
  static const std::vector<RuleCase> cases = {
      {"history done alone", 0x10, {}},
      {"history done wins over everything", 0x10 | 0x100 | 0x10000 | 0x1, {}},
      {"rescan, user dropped", 0x1 | 0x2, {{"Other", "rescan: user dropped", true}}},
      {"rescan, kernel dropped", 0x1 | 0x4, {{"Other", "rescan: kernel dropped", true}}},
      {"rescan, user dropped wins", 0x1 | 0x2 | 0x4, {{"Other", "rescan: user dropped", true}}},
      {"rescan alone", 0x1, {{"Other", "", true}}},
      {"dropped without rescan", 0x2 | 0x4, {}},
      {"root changed", 0x20, {{"Modify(Name(From))", "root changed"}}},
      {"mount", 0x40, {{"Create(Other)", "mount"}}},
      {"unmount", 0x80, {{"Remove(Other)", "mount"}}},
      {"created dir", 0x100 | 0x20000, {{"Create(Folder)"}}},
      {"created file", 0x100 | 0x10000, {{"Create(File)"}}},
      {"created dir and file bits", 0x100 | 0x20000 | 0x10000, {{"Create(Folder)"}}},
      {"created symlink", 0x100 | 0x40000, {{"Create(Other)", "is: symlink"}}},
      {"created symlink and hardlink",
       0x100 | 0x40000 | 0x100000,
       {{"Create(Other)", "is: symlink"}}},
      {"created hardlink", 0x100 | 0x100000, {{"Create(Other)", "is: hardlink"}}},
      {"created clone", 0x100 | 0x400000, {{"Create(Other)", "is: clone"}}},
      {"created, no type", 0x100, {{"Create(Any)"}}},
      {"removed dir", 0x200 | 0x20000, {{"Remove(Folder)"}}},
      {"removed file", 0x200 | 0x10000, {{"Remove(File)"}}},
      {"removed symlink", 0x200 | 0x40000, {{"Remove(Other)", "is: symlink"}}},
      {"removed hardlink", 0x200 | 0x100000, {{"Remove(Other)", "is: hardlink"}}},
      {"removed clone", 0x200 | 0x400000, {{"Remove(Other)", "is: clone"}}},
      {"removed, no type", 0x200, {{"Remove(Any)"}}},
      {"renamed", 0x800, {{"Modify(Name(Any))"}}},
      {"inode meta", 0x400, {{"Modify(Metadata(Any))"}}},
      {"finder info", 0x2000, {{"Modify(Metadata(Other))", "meta: finder info"}}},
      {"owner", 0x4000, {{"Modify(Metadata(Ownership))"}}},
      {"xattr", 0x8000, {{"Modify(Metadata(Extended))"}}},
      {"modified", 0x1000, {{"Modify(Data(Content))"}}},
      {"created file, xattr, modified (0x19100)",
       0x19100,
       {{"Create(File)"}, {"Modify(Metadata(Extended))"}, {"Modify(Data(Content))"}}},
      {"created and removed dir",
       0x100 | 0x200 | 0x20000,
       {{"Create(Folder)"}, {"Remove(Folder)"}}},
      {"renamed before inode meta (0xC00)",
       0xC00,
       {{"Modify(Name(Any))"}, {"Modify(Metadata(Any))"}}},
      {"rescan then created file", 0x1 | 0x100 | 0x10000, {{"Other", "", true}, {"Create(File)"}}},
      {"modified after finder, owner and xattr",
       0x1000 | 0x2000 | 0x4000 | 0x8000,
       {{"Modify(Metadata(Other))", "meta: finder info"},
        {"Modify(Metadata(Ownership))"},
        {"Modify(Metadata(Extended))"},
        {"Modify(Data(Content))"}}},
      {"nothing for flags 0", 0x0, {}},
      {"nothing for ids wrapped", 0x8, {}},
      {"nothing for last hardlink", 0x200000, {}},
      {"nothing for a type bit alone", 0x10000, {}},
      {"own event alone", 0x80000, {}},
  };
  return cases;
}

// Each record's flags yield exactly these events, in rule order.
TEST(EventsFromFlags, RulesTable) {
  for (const RuleCase& c : rule_cases()) {
    EXPECT_EQ(translate(c.flags), c.events) << c.intent;
  }
}

// Every rule that fires adds one event: all of rules 2 to 13 together give twelve.
TEST(EventsFromFlags, AllRulesTogether) {
  const auto all = translate(0x7FFFFF & ~0x10u);
  ASSERT_EQ(all.size(), 12u);
  EXPECT_EQ(all.front().kind, "Other");
  EXPECT_EQ(all.back().kind, "Modify(Data(Content))");
}

// OWN_EVENT puts this process's id on every event of the record and adds none of its own.
TEST(EventsFromFlags, OwnEventCarriesProcessId) {
  auto events = events_from_flags(*StreamFlags::from_bits(0x80000 | 0x800 | 0x400));
  ASSERT_EQ(events.size(), 2u);
  for (const Event& e : events) {
    EXPECT_EQ(e.attributes().process_id(), static_cast<std::uint32_t>(::getpid()));
  }
  for (const Event& e : events_from_flags(*StreamFlags::from_bits(0x800 | 0x400))) {
    EXPECT_FALSE(e.attributes().process_id()) << "no id without OWN_EVENT";
  }
}

WatchRegistry registry(std::initializer_list<std::pair<const char*, bool>> entries) {
  WatchRegistry out;
  for (const auto& [path, subtree] : entries) out.emplace(path, subtree);
  return out;
}

struct FilterCase {
  const char* path;
  bool admitted;
};

// DirectChildren admits the path and its entries; Subtree admits everything below; both
// compare components, so /wx is never inside /w.
TEST(IsAdmitted, ComponentRules) {
  const auto direct = registry({{"/w", false}});
  const FilterCase direct_cases[] = {
      {"/w", true},      {"/w/a", true}, {"/w/a/", true}, {"/w//a", true},
      {"/w/a/b", false}, {"/wx", false}, {"/", false},    {"/x/w", false},
  };
  for (const auto& c : direct_cases) EXPECT_EQ(is_admitted(c.path, direct), c.admitted) << c.path;

  const auto subtree = registry({{"/w", true}});
  const FilterCase subtree_cases[] = {
      {"/w", true}, {"/w/a/b/c", true}, {"/w/", true}, {"/wx/a", false}, {"/wx", false},
  };
  for (const auto& c : subtree_cases) EXPECT_EQ(is_admitted(c.path, subtree), c.admitted) << c.path;

  const auto prefix = registry({{"/w/a", true}});
  EXPECT_FALSE(is_admitted("/w/ab", prefix));
  EXPECT_FALSE(is_admitted("/w/ab/c", prefix));
  EXPECT_TRUE(is_admitted("/w/a/b", prefix));

  const auto trailing = registry({{"/w/a/", false}});
  EXPECT_TRUE(is_admitted("/w/a/b", trailing)) << "a trailing separator in the key is ignored";

  const auto two = registry({{"/w", false}, {"/v", true}});
  EXPECT_TRUE(is_admitted("/v/a/b", two));
  EXPECT_FALSE(is_admitted("/w/a/b", two));

  EXPECT_FALSE(is_admitted("/w/a", WatchRegistry{})) << "an empty registry admits nothing";
}

/// A stream context over a fresh delivery channel.
struct Harness {
  Harness(std::initializer_list<std::pair<const char*, bool>> entries)
      : delivery(make_delivery_channel()), context{delivery.handler, registry(entries)} {}

  void feed(std::vector<std::pair<std::string, std::uint32_t>> records) {
    std::vector<const char*> paths;
    std::vector<FSEventStreamEventFlags> flags;
    std::vector<FSEventStreamEventId> ids;
    for (const auto& [path, bits] : records) {
      paths.push_back(path.c_str());
      flags.push_back(bits);
      ids.push_back(ids.size() + 1);
    }
    callback(nullptr, &context, records.size(), paths.data(), flags.data(), ids.data());
  }

  DeliveryChannel delivery;
  StreamContextInfo context;
};

// The step from raw records to the receiving end: a batch fed on one thread is filtered,
// translated and received in order on another thread that waits with a time-out.
TEST(Callback, BatchArrivesInOrderOnAnotherThread) {
  Harness harness({{"/w", true}});
  std::vector<std::pair<std::string, std::string>> received;
  std::thread consumer([&] {
    while (received.size() < 6) {
      auto item = harness.delivery.receiver.recv_timeout(5s);
      if (item.is_err()) return;
      ASSERT_TRUE(item.value().is_ok()) << "the callback never sends errors";
      const Event& e = item.value().value();
      ASSERT_EQ(e.paths().size(), 1u);
      received.emplace_back(kind_text(e.kind()), e.paths()[0]);
    }
  });
  harness.feed({
      {"/w/new", 0x10100},
      {"/elsewhere/x", 0x10100},  // outside every watched path: dropped
      {"/w/d", 0x20000 | 0x100 | 0x200},
      {"/w/f", 0x10000},  // no event for a type bit alone
      {"/w/f", 0x1000 | 0x8000},
      {"/w", 0x1 | 0x4},
  });
  consumer.join();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Create(File)", "/w/new"},        {"Create(Folder)", "/w/d"},
      {"Remove(Folder)", "/w/d"},        {"Modify(Metadata(Extended))", "/w/f"},
      {"Modify(Data(Content))", "/w/f"}, {"Other", "/w"},
  };
  EXPECT_EQ(received, expected);
  EXPECT_TRUE(harness.delivery.receiver.recv_timeout(0ns).is_err()) << "nothing more";
}

// A batch of zero records delivers nothing, even with null arrays.
TEST(Callback, EmptyBatch) {
  Harness harness({{"/w", true}});
  callback(nullptr, &harness.context, 0, nullptr, nullptr, nullptr);
  EXPECT_FALSE(harness.delivery.receiver.has_ready());
}

// A name that is not UTF-8 is carried as its bytes, not treated as fatal.
TEST(Callback, NonUtf8PathTravelsAsBytes) {
  Harness harness({{"/w", true}});
  const std::string raw = "/w/caf\xe9-\xff";
  harness.feed({{raw, 0x10100}});
  auto item = harness.delivery.receiver.recv_timeout(1s);
  ASSERT_TRUE(item.is_ok());
  EXPECT_EQ(item.value().value().paths(), std::vector<Path>{raw});
}

// The trace line is formed only when the facade admits trace, and then names path and flags.
TEST(Callback, TraceLineOnlyWhenRaised) {
  std::vector<std::string> lines;
  log::set_sink([&](log::Level, std::string_view line) { lines.emplace_back(line); });
  Harness harness({{"/w", true}});
  harness.feed({{"/w/a", 0x10100}});
  EXPECT_TRUE(lines.empty()) << "nothing is logged by default";
  log::set_max_level(log::Level::Trace);
  harness.feed({{"/w/b", 0x10100}, {"/x/c", 0x10100}});
  log::set_max_level(log::Level::Off);
  log::set_sink(nullptr);
  ASSERT_EQ(lines.size(), 1u) << "only admitted records are traced";
  EXPECT_EQ(lines[0], "stream record: path=/w/b flags=StreamFlags(ITEM_CREATED | IS_FILE)");
}

using CallbackDeathTest = ::testing::Test;

// Unnamed flag bits are fatal even outside every watched path; the process aborts after
// the report, the second report and the closing line.
TEST_F(CallbackDeathTest, UndecodableFlagsAbort) {
  Harness harness({{"/w", true}});
  EXPECT_DEATH(harness.feed({{"/elsewhere", 0x800000}}),
               "Unable to decode StreamFlags: 8388608\n(.|\n)*"
               "panic in a function that cannot unwind\n"
               "thread caused non-unwinding panic. aborting.");
}

// A poisoned handler mutex is fatal for the callback.
TEST_F(CallbackDeathTest, PoisonedHandlerAborts) {
  Harness harness({{"/w", true}});
  try {
    auto guard = harness.delivery.handler->lock().unwrap();
    panic_static("poisoning the handler");
  } catch (const Panic&) {
  }
  EXPECT_DEATH(harness.feed({{"/w/a", 0x10100}}),
               "lock not to be poisoned: PoisonError \\{ \\.\\. \\}\n(.|\n)*"
               "thread caused non-unwinding panic. aborting.");
}

}  // namespace
}  // namespace vestra
