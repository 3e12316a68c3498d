#include "platform/linux/cf_string.h"

#include <cstring>

namespace vestra::platform {

CFStringRef make_string(std::string_view bytes) {
  return new __CFString(std::string(bytes));
}

CFStringRef make_constant_string(const char* text) {
  return new __CFString(__CFString::Constant{}, text);
}

std::string_view string_bytes(CFStringRef string) noexcept {
  return string ? std::string_view(string->bytes) : std::string_view();
}

}  // namespace vestra::platform

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding) {
  if (!cStr) return nullptr;
  return vestra::platform::make_string(cStr);
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding) {
  return theString ? theString->bytes.c_str() : nullptr;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding) {
  if (!theString || !buffer || bufferSize <= 0) return false;
  const std::string& bytes = theString->bytes;
  if (bytes.size() + 1 > static_cast<std::size_t>(bufferSize)) return false;
  std::memcpy(buffer, bytes.c_str(), bytes.size() + 1);
  return true;
}
