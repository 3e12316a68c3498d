#include "event/event.h"

#include <gtest/gtest.h>

namespace vestra {
namespace {

// A fresh event has no paths and no attribute block.
TEST(Event, FreshEventIsEmpty) {
  Event event(EventKind::any());
  EXPECT_TRUE(event.paths().empty());
  EXPECT_FALSE(event.attributes().has_block());
  EXPECT_FALSE(event.attributes().flag());
  EXPECT_EQ(event.attributes().info(), nullptr);
  EXPECT_FALSE(event.attributes().process_id());
}

// Paths are kept in call order, duplicates included.
TEST(Event, AddPathKeepsOrderAndDuplicates) {
  Event event = Event(EventKind::other()).add_path("/a").add_path("/b").add_path("/a");
  EXPECT_EQ(event.paths(), (std::vector<Path>{"/a", "/b", "/a"}));
  EXPECT_FALSE(event.attributes().has_block()) << "add_path must not create attributes";
}

// A later info replaces an earlier one; setting the flag keeps the info.
TEST(Event, SettersReplaceOnlyTheirField) {
  Event event = Event(EventKind::other()).set_info("first").set_info("second");
  ASSERT_NE(event.attributes().info(), nullptr);
  EXPECT_EQ(*event.attributes().info(), "second");
  event = std::move(event).set_flag(EventFlag::Rescan);
  EXPECT_EQ(*event.attributes().info(), "second");
  EXPECT_EQ(event.attributes().flag(), EventFlag::Rescan);
  EXPECT_EQ(event.kind(), EventKind::other()) << "setters must not touch the kind";
}

// set_process_id on an event without a block creates one holding only the id.
TEST(Event, ProcessIdAlone) {
  Event event = Event(EventKind::any()).set_process_id(4242);
  EXPECT_TRUE(event.attributes().has_block());
  EXPECT_EQ(event.attributes().process_id(), 4242u);
  EXPECT_FALSE(event.attributes().flag());
  EXPECT_EQ(event.attributes().info(), nullptr);
}

// The info text is an owned copy, independent of the caller's buffer.
TEST(Event, InfoIsCopied) {
  std::string text = "original";
  Event event = Event(EventKind::any()).set_info(text);
  text = "changed";
  EXPECT_EQ(*event.attributes().info(), "original");
}

// Paths are raw bytes: a name that is not UTF-8 is stored unchanged.
TEST(Event, PathsAreBytes) {
  const Path raw(
      "/w/a\xff\xfe"
      "b",
      7);
  Event event = Event(EventKind::any()).add_path(raw);
  EXPECT_EQ(event.paths().front(), raw);
}

}  // namespace
}  // namespace vestra
