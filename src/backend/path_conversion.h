// The stream's string for a watched path.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace vestra {

/// The absolute path string that a stream is given for `source`: the longest existing
/// leading part replaced by the current path of the object it names, then the missing
/// trailing components unchanged. Returns an owned string, or null; on null `*error` may
/// hold an error object that the caller owns. `source` must not contain a NUL character
/// (a fatal error).
CFStringRef str_path_to_cfstring_ref(std::string_view source, CFErrorRef* error);

}  // namespace vestra
