// Reading a directory's entries in large batches, with the type the file system reports.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vestra::platform {

/// Reads the entries of open directories with getdents64 into one reused buffer.
class DirectoryReader {
 public:
  struct Entry {
    std::string_view name;  ///< NUL-terminated in the reader's buffer
    unsigned char type;     ///< DT_DIR, DT_REG, DT_LNK, ..., or DT_UNKNOWN
    ino_t inode;
  };

  DirectoryReader();

  /// Starts on the directory open as `fd`, which must be positioned at its start.
  void open(int fd) noexcept;
  /// The next entry other than "." and ".."; false at the end or on a read error. With
  /// `may_stop`, a read that came back well short of the buffer is taken as the last one
  /// (the caller knows by other means that it has seen what it needs), which saves the
  /// empty read that would otherwise confirm the end.
  bool next(Entry& entry, bool may_stop = false) noexcept;
  /// The inode that the directory's ".." entry names, or 0 when it is not among the entries
  /// not yet returned by next() in the batch at hand. File systems list "." and ".." first,
  /// so right after open() this is the parent directory, read without a further call.
  ino_t parent_inode() noexcept;

 private:
  bool fill() noexcept;

  static constexpr std::size_t kBufferSize = 64 * 1024;

  std::unique_ptr<std::uint64_t[]> buffer_;  // 8-byte aligned, as the records require
  int fd_ = -1;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  bool short_read_ = false;
};

}  // namespace vestra::platform
