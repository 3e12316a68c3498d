#include "backend/stream_flags.h"

#include <cstdio>

namespace vestra {

namespace {

struct NamedFlag {
  StreamFlags flag;
  const char* name;
};

// Table order is the order of names in the text form.
constexpr NamedFlag kNames[] = {
    {StreamFlags::NONE, "NONE"},
    {StreamFlags::MUST_SCAN_SUBDIRS, "MUST_SCAN_SUBDIRS"},
    {StreamFlags::USER_DROPPED, "USER_DROPPED"},
    {StreamFlags::KERNEL_DROPPED, "KERNEL_DROPPED"},
    {StreamFlags::IDS_WRAPPED, "IDS_WRAPPED"},
    {StreamFlags::HISTORY_DONE, "HISTORY_DONE"},
    {StreamFlags::ROOT_CHANGED, "ROOT_CHANGED"},
    {StreamFlags::MOUNT, "MOUNT"},
    {StreamFlags::UNMOUNT, "UNMOUNT"},
    {StreamFlags::ITEM_CREATED, "ITEM_CREATED"},
    {StreamFlags::ITEM_REMOVED, "ITEM_REMOVED"},
    {StreamFlags::INODE_META_MOD, "INODE_META_MOD"},
    {StreamFlags::ITEM_RENAMED, "ITEM_RENAMED"},
    {StreamFlags::ITEM_MODIFIED, "ITEM_MODIFIED"},
    {StreamFlags::FINDER_INFO_MOD, "FINDER_INFO_MOD"},
    {StreamFlags::ITEM_CHANGE_OWNER, "ITEM_CHANGE_OWNER"},
    {StreamFlags::ITEM_XATTR_MOD, "ITEM_XATTR_MOD"},
    {StreamFlags::IS_FILE, "IS_FILE"},
    {StreamFlags::IS_DIR, "IS_DIR"},
    {StreamFlags::IS_SYMLINK, "IS_SYMLINK"},
    {StreamFlags::OWN_EVENT, "OWN_EVENT"},
    {StreamFlags::IS_HARDLINK, "IS_HARDLINK"},
    {StreamFlags::IS_LAST_HARDLINK, "IS_LAST_HARDLINK"},
    {StreamFlags::ITEM_CLONED, "ITEM_CLONED"},
};

}  // namespace

std::string text_form(StreamFlags flags) {
  const std::uint32_t value = flags.bits();
  std::string out = "StreamFlags(";
  if (value == 0) return out + "0x0)";
  std::uint32_t remaining = value;
  bool written = false;
  for (const NamedFlag& row : kNames) {
    if (remaining == 0) break;
    const std::uint32_t bits = row.flag.bits();
    // A row is written when all its bits are set and at least one is not yet written.
    if ((value & bits) != bits || (remaining & bits) == 0) continue;
    if (written) out += " | ";
    out += row.name;
    written = true;
    remaining &= ~bits;
  }
  if (remaining != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", remaining);
    if (written) out += " | ";
    out += hex;
  }
  return out + ")";
}

}  // namespace vestra
