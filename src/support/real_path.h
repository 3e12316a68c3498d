// The canonical form of a path, as the file system resolves it.
#pragma once

#include <optional>
#include <string>

namespace vestra {

/// `path` made absolute, with no ".", ".." or symbolic link in it (realpath's answer).
/// Nothing, with errno set, when it cannot be resolved.
std::optional<std::string> real_path(const std::string& path);

}  // namespace vestra
