// Waiting out the renames under way in one directory.
#pragma once

#include <string>

#include "platform/linux/file_identity.h"

namespace vestra::platform {

/// Takes the lock of `directory` once, as a listing does, and lets it go: a rename holds
/// the locks of both its directories until it has queued all its inotify records (both
/// halves, the IN_MOVE_SELF of a directory, the second rename of an exchange), so every
/// rename there that had begun has queued them when this returns. False when the path does
/// not open as the directory `identity` names, which then tells nothing.
bool pass_rename_barrier(const std::string& directory, FileIdentity identity) noexcept;

}  // namespace vestra::platform
