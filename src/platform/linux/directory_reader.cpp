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

// Reads the next batch once the one at hand is used up; false at the end or on an error.
bool DirectoryReader::fill() noexcept {
  if (position_ < end_) return true;
  if (fd_ == -1) return false;
  ssize_t count;
  do {
    count = ::getdents64(fd_, buffer_.get(), kBufferSize);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) {
    fd_ = -1;
    return false;
  }
  position_ = 0;
  end_ = static_cast<std::size_t>(count);
  short_read_ = end_ + kShortMargin <= kBufferSize;
  return true;
}

bool DirectoryReader::next(Entry& entry, bool may_stop) noexcept {
  const auto* bytes = reinterpret_cast<const char*>(buffer_.get());
  while (true) {
    if (position_ >= end_ && ((may_stop && short_read_) || !fill())) return false;
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

ino_t DirectoryReader::parent_inode() noexcept {
  if (!fill()) return 0;
  const auto* bytes = reinterpret_cast<const char*>(buffer_.get());
  for (std::size_t at = position_; at < end_;) {
    const auto* record = reinterpret_cast<const dirent64*>(bytes + at);
    const char* name = record->d_name;
    if (name[0] == '.' && name[1] == '.' && name[2] == '\0') return record->d_ino;
    at += record->d_reclen;
  }
  return 0;
}

}  // namespace vestra::platform
