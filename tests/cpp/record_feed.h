// Hand-built inotify records written into a pipe, for tests that read them as the watcher
// reads the kernel's queue.
#pragma once

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "platform/linux/file_descriptor.h"

namespace vestra::testing_support {

/// The bytes of one record as the kernel lays it out: the name padded with NULs.
inline std::string record_bytes(int wd, std::uint32_t mask, std::uint32_t cookie = 0,
                                std::string_view name = {}) {
  const std::size_t padded = name.empty() ? 0
                                          : (name.size() + sizeof(inotify_event)) /
                                                sizeof(inotify_event) * sizeof(inotify_event);
  inotify_event event{};
  event.wd = wd;
  event.mask = mask;
  event.cookie = cookie;
  event.len = static_cast<std::uint32_t>(padded);
  std::string bytes(reinterpret_cast<const char*>(&event), sizeof event);
  bytes.append(name);
  bytes.append(padded - name.size(), '\0');
  return bytes;
}

/// A non-blocking pipe: records written at one end are read at the other.
class RecordFeed {
 public:
  RecordFeed() {
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    read_end_.reset(ends[0]);
    write_end_.reset(ends[1]);
  }
  /// The reading end, handed to the reader once.
  platform::FileDescriptor take_reader() { return std::move(read_end_); }
  void write(const std::string& bytes) {
    if (::write(write_end_.get(), bytes.data(), bytes.size()) !=
        static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("write to the record pipe");
    }
  }
  void add(int wd, std::uint32_t mask, std::uint32_t cookie = 0, std::string_view name = {}) {
    write(record_bytes(wd, mask, cookie, name));
  }

 private:
  platform::FileDescriptor read_end_;
  platform::FileDescriptor write_end_;
};

}  // namespace vestra::testing_support
