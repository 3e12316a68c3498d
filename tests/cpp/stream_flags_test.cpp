#include "backend/stream_flags.h"

#include <gtest/gtest.h>

namespace vestra {
namespace {

// Names come in ascending bit order whatever order the bits were set in; unnamed bits
// follow in hexadecimal.
TEST(StreamFlagsText, Table) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0x0, "StreamFlags(0x0)"},
      {0x10100, "StreamFlags(ITEM_CREATED | IS_FILE)"},
      {0x800, "StreamFlags(ITEM_RENAMED)"},
      {0xC00, "StreamFlags(INODE_META_MOD | ITEM_RENAMED)"},
      {0x1000001, "StreamFlags(MUST_SCAN_SUBDIRS | 0x1000000)"},
      {0x1000000, "StreamFlags(0x1000000)"},
      {0x80000000, "StreamFlags(0x80000000)"},
      {0x7FFFFF,
       "StreamFlags(MUST_SCAN_SUBDIRS | USER_DROPPED | KERNEL_DROPPED | IDS_WRAPPED | "
       "HISTORY_DONE | ROOT_CHANGED | MOUNT | UNMOUNT | ITEM_CREATED | ITEM_REMOVED | "
       "INODE_META_MOD | ITEM_RENAMED | ITEM_MODIFIED | FINDER_INFO_MOD | ITEM_CHANGE_OWNER | "
       "ITEM_XATTR_MOD | IS_FILE | IS_DIR | IS_SYMLINK | OWN_EVENT | IS_HARDLINK | "
       "IS_LAST_HARDLINK | ITEM_CLONED)"},
  };
  for (const auto& [bits, text] : cases) {
    EXPECT_EQ(text_form(StreamFlags::from_bits_retain(bits)), text) << std::hex << bits;
  }
}

// Decoding keeps every named bit and refuses any bit from 0x800000 up.
TEST(StreamFlagsDecode, Limits) {
  EXPECT_EQ(StreamFlags::from_bits(0)->bits(), 0u);
  EXPECT_EQ(StreamFlags::from_bits(0x7FFFFF)->bits(), 0x7FFFFFu);
  EXPECT_FALSE(StreamFlags::from_bits(0x800000));
  EXPECT_FALSE(StreamFlags::from_bits(0xFFFFFFFF));
  EXPECT_FALSE(StreamFlags::from_bits(0x80000000));
}

// Membership: NONE is in every value; a flag is in a value when its bit is set.
TEST(StreamFlagsDecode, Membership) {
  const auto flags = StreamFlags::ITEM_CREATED | StreamFlags::IS_FILE;
  EXPECT_TRUE(flags.contains(StreamFlags::NONE));
  EXPECT_TRUE(StreamFlags::NONE.contains(StreamFlags::NONE));
  EXPECT_TRUE(flags.contains(StreamFlags::IS_FILE));
  EXPECT_FALSE(flags.contains(StreamFlags::IS_DIR));
  EXPECT_FALSE(flags.contains(StreamFlags::IS_FILE | StreamFlags::IS_DIR));
}

}  // namespace
}  // namespace vestra
