#include "module/line_stdout.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "support/io_error.h"
#include "support/panic.h"

namespace vestra {

namespace {

/// What is written to descriptor 1, one completed line at a time.
class LineBufferedStdout {
 public:
  /// Appends `text`, writing out every completed line; a failed write is fatal.
  void write(std::string_view text) {
    std::lock_guard hold(mutex_);
    pending_ += text;
    const std::size_t end = pending_.rfind('\n');
    if (end == std::string::npos) return;
    std::string lines = pending_.substr(0, end + 1);
    pending_.erase(0, end + 1);
    write_all(lines);
  }

 private:
  /// Writes all of `text` to descriptor 1; a failure is the fatal "failed printing to stdout".
  static void write_all(std::string_view text) {
    while (!text.empty()) {
      const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        const IoError error = IoError::last_os_error();
        panic("failed printing to stdout: " + error.message() + " (os error " +
              std::to_string(error.raw_os_error()) + ")");
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
  }

  std::mutex mutex_;
  std::string pending_;
};

}  // namespace

void write_stdout_lines(std::string_view text) {
  // The one stream of the process; never destroyed, so it outlives every watch.
  static LineBufferedStdout* const stream = new LineBufferedStdout();
  stream->write(text);
}

}  // namespace vestra
