// Strings: immutable byte strings, which need not be UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "platform/linux/cf_object.h"

struct __CFString final : vestra::platform::CfObject {
  explicit __CFString(std::string text) : bytes(std::move(text)) {}
  /// A string constant: never destroyed, unaffected by retain and release.
  __CFString(Constant tag, const char* text) : CfObject(tag), bytes(text) {}

  const std::string bytes;
};

namespace vestra::platform {

/// A new string holding `bytes`; the caller owns the reference.
CFStringRef make_string(std::string_view bytes);
/// A string that lives as long as the process.
CFStringRef make_constant_string(const char* text);
/// The bytes of `string`; empty for a null reference.
std::string_view string_bytes(CFStringRef string) noexcept;

}  // namespace vestra::platform
