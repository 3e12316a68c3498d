// The typed flag word of one raw stream record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vestra {

/// The 23 named one-bit flags of a stream record (bits 0 to 22); every higher bit is unnamed.
class StreamFlags {
 public:
  static const StreamFlags NONE, MUST_SCAN_SUBDIRS, USER_DROPPED, KERNEL_DROPPED, IDS_WRAPPED,
      HISTORY_DONE, ROOT_CHANGED, MOUNT, UNMOUNT, ITEM_CREATED, ITEM_REMOVED, INODE_META_MOD,
      ITEM_RENAMED, ITEM_MODIFIED, FINDER_INFO_MOD, ITEM_CHANGE_OWNER, ITEM_XATTR_MOD, IS_FILE,
      IS_DIR, IS_SYMLINK, OWN_EVENT, IS_HARDLINK, IS_LAST_HARDLINK, ITEM_CLONED;
  /// The union of every named flag.
  static constexpr std::uint32_t kAllBits = 0x7FFFFF;

  /// The flags of `bits`, or nothing when a bit outside the named ones is set.
  static constexpr std::optional<StreamFlags> from_bits(std::uint32_t bits) {
    if (bits & ~kAllBits) return std::nullopt;
    return StreamFlags(bits);
  }
  /// Keeps every bit, named or not; only the text form sees unnamed bits.
  static constexpr StreamFlags from_bits_retain(std::uint32_t bits) { return StreamFlags(bits); }

  constexpr std::uint32_t bits() const { return bits_; }
  /// True when every bit of `other` is set (so NONE is contained in every value).
  constexpr bool contains(StreamFlags other) const { return (bits_ & other.bits_) == other.bits_; }

  friend constexpr StreamFlags operator|(StreamFlags a, StreamFlags b) {
    return StreamFlags(a.bits_ | b.bits_);
  }
  friend constexpr bool operator==(StreamFlags, StreamFlags) = default;

 private:
  constexpr explicit StreamFlags(std::uint32_t bits) : bits_(bits) {}
  std::uint32_t bits_;
};

inline constexpr StreamFlags StreamFlags::NONE = StreamFlags(0x0);
inline constexpr StreamFlags StreamFlags::MUST_SCAN_SUBDIRS = StreamFlags(0x1);
inline constexpr StreamFlags StreamFlags::USER_DROPPED = StreamFlags(0x2);
inline constexpr StreamFlags StreamFlags::KERNEL_DROPPED = StreamFlags(0x4);
inline constexpr StreamFlags StreamFlags::IDS_WRAPPED = StreamFlags(0x8);
inline constexpr StreamFlags StreamFlags::HISTORY_DONE = StreamFlags(0x10);
inline constexpr StreamFlags StreamFlags::ROOT_CHANGED = StreamFlags(0x20);
inline constexpr StreamFlags StreamFlags::MOUNT = StreamFlags(0x40);
inline constexpr StreamFlags StreamFlags::UNMOUNT = StreamFlags(0x80);
inline constexpr StreamFlags StreamFlags::ITEM_CREATED = StreamFlags(0x100);
inline constexpr StreamFlags StreamFlags::ITEM_REMOVED = StreamFlags(0x200);
inline constexpr StreamFlags StreamFlags::INODE_META_MOD = StreamFlags(0x400);
inline constexpr StreamFlags StreamFlags::ITEM_RENAMED = StreamFlags(0x800);
inline constexpr StreamFlags StreamFlags::ITEM_MODIFIED = StreamFlags(0x1000);
inline constexpr StreamFlags StreamFlags::FINDER_INFO_MOD = StreamFlags(0x2000);
inline constexpr StreamFlags StreamFlags::ITEM_CHANGE_OWNER = StreamFlags(0x4000);
inline constexpr StreamFlags StreamFlags::ITEM_XATTR_MOD = StreamFlags(0x8000);
inline constexpr StreamFlags StreamFlags::IS_FILE = StreamFlags(0x10000);
inline constexpr StreamFlags StreamFlags::IS_DIR = StreamFlags(0x20000);
inline constexpr StreamFlags StreamFlags::IS_SYMLINK = StreamFlags(0x40000);
inline constexpr StreamFlags StreamFlags::OWN_EVENT = StreamFlags(0x80000);
inline constexpr StreamFlags StreamFlags::IS_HARDLINK = StreamFlags(0x100000);
inline constexpr StreamFlags StreamFlags::IS_LAST_HARDLINK = StreamFlags(0x200000);
inline constexpr StreamFlags StreamFlags::ITEM_CLONED = StreamFlags(0x400000);

/// StreamFlags(ITEM_CREATED | IS_FILE): the names in ascending bit order, then any unnamed
/// bits in hexadecimal; StreamFlags(0x0) for the empty set.
std::string text_form(StreamFlags flags);

}  // namespace vestra
