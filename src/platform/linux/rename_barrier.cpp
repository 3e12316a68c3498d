#include "platform/linux/rename_barrier.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdint>

#include "platform/linux/file_descriptor.h"

namespace vestra::platform {

bool pass_rename_barrier(const std::string& directory, FileIdentity identity) noexcept {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!opened_as(fd.get(), identity)) return false;
  // One listing call takes the lock, however little it asks for (room for one entry).
  alignas(dirent64) char entries[sizeof(dirent64) + 256];
  ssize_t count;
  do {
    count = ::getdents64(fd.get(), entries, sizeof entries);
  } while (count < 0 && errno == EINTR);
  return count >= 0;
}

}  // namespace vestra::platform
