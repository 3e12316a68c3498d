#include "platform/linux/cf_url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/cf_error.h"
#include "platform/linux/cf_string.h"
#include "platform/linux/current_directory.h"
#include "platform/linux/path_text.h"
#include "support/real_path.h"

namespace path_text = vestra::platform::path_text;
using vestra::platform::FileIdentity;
using vestra::platform::store_error;

std::string __CFURL::absolute_path() const {
  if (base.empty()) return path;
  return path_text::absolute(path, base);
}

namespace {

using vestra::platform::current_directory;

FileIdentity identity_of(const struct stat& st) {
  return FileIdentity::of(st);
}

}  // namespace

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory) {
  if (!buffer || bufLen <= 0) return nullptr;
  std::string_view raw(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(bufLen));
  raw = raw.substr(0, raw.find('\0'));
  if (raw.empty()) return nullptr;
  std::string path = path_text::normalize(raw);
  std::string base;
  if (path.front() != '/') {
    base = current_directory();
    if (base.empty()) return nullptr;
  }
  return new __CFURL(std::move(path), std::move(base), isDirectory);
}

CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL) {
  if (!relativeURL) return nullptr;
  return new __CFURL(relativeURL->absolute_path(), {}, relativeURL->directory,
                     relativeURL->reference);
}

Boolean CFURLResourceIsReachable(CFURLRef url, CFErrorRef* error) {
  if (!url) {
    store_error(error, EINVAL);
    return false;
  }
  struct stat st;
  if (::stat(url->absolute_path().c_str(), &st) == 0) return true;
  store_error(error, errno);
  return false;
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
  if (!url) return nullptr;
  return vestra::platform::make_string(path_text::last_component(url->path));
}

// The last component is taken off as text, so that walking up from a missing location
// always ends; a relative path that is only "." or ends in ".." goes up with "..".
CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef, CFURLRef url) {
  if (!url) return nullptr;
  const std::string& path = url->path;
  std::string parent;
  if (path.front() == '/') {
    parent = path_text::parent(path);
  } else if (path == ".") {
    parent.assign(2, '.');
  } else if (path_text::last_component(path) == "..") {
    parent = path_text::join(path, "..");
  } else {
    parent = path_text::parent(path);
    if (parent.empty()) parent.push_back('.');
  }
  return new __CFURL(std::move(parent), url->base, true);
}

CFURLRef CFURLCreateFileReferenceURL(CFAllocatorRef, CFURLRef url, CFErrorRef* error) {
  if (!url) {
    store_error(error, EINVAL);
    return nullptr;
  }
  std::string path = url->absolute_path();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    store_error(error, errno);
    return nullptr;
  }
  return new __CFURL(std::move(path), {}, S_ISDIR(st.st_mode), identity_of(st));
}

CFURLRef CFURLCreateFilePathURL(CFAllocatorRef, CFURLRef url, CFErrorRef* error) {
  if (!url) {
    store_error(error, EINVAL);
    return nullptr;
  }
  if (!url->reference) return new __CFURL(url->absolute_path(), {}, url->directory);

  const std::optional<std::string> resolved = vestra::real_path(url->path);
  if (!resolved) {
    store_error(error, errno);
    return nullptr;
  }
  struct stat st;
  if (::stat(resolved->c_str(), &st) != 0) {
    store_error(error, errno);
    return nullptr;
  }
  // The path now leads to another object: the one referred to is no longer there.
  if (identity_of(st) != *url->reference) {
    store_error(error, ENOENT);
    return nullptr;
  }
  return new __CFURL(*resolved, {}, S_ISDIR(st.st_mode));
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory) {
  if (!url || !pathComponent) return nullptr;
  const std::string_view component = vestra::platform::string_bytes(pathComponent);
  return new __CFURL(path_text::normalize(path_text::join(url->path, component)), url->base,
                     isDirectory);
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle) {
  if (!anURL) return nullptr;
  return vestra::platform::make_string(anURL->path);
}
