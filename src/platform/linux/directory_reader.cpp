#include "platform/linux/directory_reader.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

namespace vestra::platform {

DirectoryReader::DirectoryReader()
    : buffer_(std::make_unique<std::uint64_t[]>(kBufferSize / sizeof(std::uint64_t))) {}

namespace {

/// A read that leaves this much of the buffer unused had no further entry to add.
constexpr std::size_t kShortMargin = 2 * (sizeof(dirent64) + 256);

}  // namespace

void DirectoryReader::open(int fd) noexcept {
  fd_ = fd;
  position_ = 0;
  end_ = 0;
  short_read_ = false;
}

bool DirectoryReader::next(Entry& entry, bool may_stop) noexcept {
  auto* bytes = reinterpret_cast<char*>(buffer_.get());
  while (true) {
    if (position_ >= end_) {
      if (fd_ == -1 || (may_stop && short_read_)) return false;
      ssize_t count;
      do {
        count = ::getdents64(fd_, bytes, kBufferSize);
      } while (count < 0 && errno == EINTR);
      if (count <= 0) {
        fd_ = -1;
        return false;
      }
      position_ = 0;
      end_ = static_cast<std::size_t>(count);
      short_read_ = end_ + kShortMargin <= kBufferSize;
    }
    const auto* record = reinterpret_cast<const dirent64*>(bytes + position_);
    position_ += record->d_reclen;
    const char* name = record->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    entry.name = std::string_view(name, std::strlen(name));
    entry.type = record->d_type;
    entry.inode = record->d_ino;
    return true;
  }
}

}  // namespace vestra::platform
