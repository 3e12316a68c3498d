// Reading a directory's entries in large batches, with the type the file system reports.
#pragma once

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
  };

  DirectoryReader();

  /// Starts on the directory open as `fd`, which must be positioned at its start.
  void open(int fd) noexcept;
  /// The next entry other than "." and ".."; false at the end or on a read error.
  bool next(Entry& entry) noexcept;

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  std::unique_ptr<std::uint64_t[]> buffer_;  // 8-byte aligned, as the records require
  int fd_ = -1;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
};

}  // namespace vestra::platform
