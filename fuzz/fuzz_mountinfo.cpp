// Fuzzes the mount table reader: whatever the text, it yields mounts whose points are no
// longer than the text, a table compared with itself has not changed, and one compared with
// an empty table lists each of its mounts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/linux/mount_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto mounts = vestra::platform::parse_mountinfo(text);
  for (const auto& mount : mounts) {
    if (mount.point.empty() || mount.point.size() > size) std::abort();
  }
  if (!vestra::platform::diff_mounts(mounts, mounts).empty()) std::abort();
  // From nothing, everything is new; to nothing, everything went.
  if (vestra::platform::diff_mounts({}, mounts).size() != mounts.size()) std::abort();
  if (vestra::platform::diff_mounts(mounts, {}).size() != mounts.size()) std::abort();
  return 0;
}
