#include "backend/path_conversion.h"

#include <cstring>
#include <string>

#include "platform/cf_ref.h"
#include "support/panic.h"
#include "support/text.h"

namespace vestra {

namespace {

/// The NUL-terminated copy of a path; a NUL inside it is a fatal error.
std::string terminated_copy(std::string_view source) {
  const std::size_t nul = source.find('\0');
  if (nul != std::string_view::npos) {
    std::string bytes = "[";
    for (std::size_t i = 0; i < source.size(); ++i) {
      if (i) bytes += ", ";
      bytes += std::to_string(static_cast<unsigned char>(source[i]));
    }
    panic("called `Result::unwrap()` on an `Err` value: NulError(" + std::to_string(nul) + ", " +
          bytes + "])");
  }
  return std::string(source);
}

}  // namespace

CFStringRef str_path_to_cfstring_ref(std::string_view source, CFErrorRef* error) {
  const std::string c_path = terminated_copy(source);

  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(c_path.c_str()),
      static_cast<CFIndex>(std::strlen(c_path.c_str())), false));
  if (!url) return nullptr;
  url.reset(CFURLCopyAbsoluteURL(url.get()));
  if (!url) return nullptr;

  // Walk up to the deepest existing ancestor, remembering the missing components from the
  // outermost to the last.
  CFRef<CFMutableArrayRef> missing;
  while (!CFURLResourceIsReachable(url.get(), nullptr)) {
    if (!missing) {
      missing.reset(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
      if (!missing) return nullptr;
    }
    CFRef<CFStringRef> component(CFURLCopyLastPathComponent(url.get()));
    CFArrayInsertValueAtIndex(missing.get(), 0, component.get());
    url.reset(CFURLCreateCopyDeletingLastPathComponent(kCFAllocatorDefault, url.get()));
    if (!url) return nullptr;
  }

  // By way of the object's identity, its current path.
  url.reset(CFURLCreateFileReferenceURL(kCFAllocatorDefault, url.get(), error));
  if (!url) return nullptr;
  url.reset(CFURLCreateFilePathURL(kCFAllocatorDefault, url.get(), error));
  if (!url) return nullptr;

  if (missing) {
    for (CFIndex i = 0; i < CFArrayGetCount(missing.get()); ++i) {
      const auto component = static_cast<CFStringRef>(CFArrayGetValueAtIndex(missing.get(), i));
      url.reset(
          CFURLCreateCopyAppendingPathComponent(kCFAllocatorDefault, url.get(), component, false));
      if (!url) return nullptr;
    }
  }
  return CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle);
}

}  // namespace vestra
