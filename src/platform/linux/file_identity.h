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

}  // namespace vestra::platform
