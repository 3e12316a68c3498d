// The mount table of the process's mount namespace, read from /proc/self/mountinfo, and what
// changed in it between two readings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/file_descriptor.h"

namespace vestra::platform {

/// One mount as the table lists it.
struct Mount {
  int id = 0;
  std::string point;  // where it is mounted, its escapes decoded
  friend bool operator==(const Mount&, const Mount&) = default;
};

/// The mounts that `text`, in the format of /proc/self/mountinfo, lists, in its order. A line
/// that does not parse is skipped.
std::vector<Mount> parse_mountinfo(std::string_view text);

struct MountChange {
  enum class Kind : std::uint8_t { Mounted, Unmounted };
  Kind kind;
  std::string point;
  friend bool operator==(const MountChange&, const MountChange&) = default;
};

/// What changed from `before` to `after`, by mount id: the mounts gone, deepest first, then
/// the new ones, shallowest first, so that each applies to what the one before left.
std::vector<MountChange> diff_mounts(const std::vector<Mount>& before,
                                     const std::vector<Mount>& after);

/// The open mount table. Its descriptor signals every change of the table with POLLPRI
/// (never with POLLIN, which it always reports); the whole table is then read anew.
class MountTable {
 public:
  /// Opens and reads `path`; not valid() when it cannot be opened.
  explicit MountTable(const char* path = "/proc/self/mountinfo");

  bool valid() const noexcept { return fd_.valid(); }
  int fd() const noexcept { return fd_.get(); }
  /// Whether the table has changed since the last time this or the run loop asked.
  bool changed() const;
  /// Reads the table again, from the start: what changed since the last reading.
  std::vector<MountChange> refresh();

 private:
  std::string read_all();

  FileDescriptor fd_;
  std::vector<Mount> mounts_;
};

}  // namespace vestra::platform
