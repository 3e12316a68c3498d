// What names one file-system object independently of its path.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace vestra::platform {

/// The device and inode of one object: equal identities are the same object.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  static FileIdentity of(const struct stat& status) noexcept {
    return FileIdentity{status.st_dev, status.st_ino};
  }
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

/// Whether `fd` is open on the object `identity` names: a path may name another by now.
inline bool opened_as(int fd, FileIdentity identity) noexcept {
  struct stat status{};
  return fd >= 0 && ::fstat(fd, &status) == 0 && FileIdentity::of(status) == identity;
}

}  // namespace vestra::platform
