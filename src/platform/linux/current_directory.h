// The process's current directory.
#pragma once

#include <string>

namespace vestra::platform {

/// The current directory as getcwd gives it; empty when it cannot be had (removed, or
/// beyond what getcwd can name).
std::string current_directory();

}  // namespace vestra::platform
