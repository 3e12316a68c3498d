#include "backend/watcher.h"

#include <sys/stat.h>

#include <optional>
#include <string>

#include "backend/path_conversion.h"
#include "backend/stream_callback.h"
#include "support/real_path.h"
#include "support/text.h"

namespace vestra {

std::unique_ptr<FsEventWatcher> FsEventWatcher::from_event_handler(
    SharedEventHandler event_handler) {
  return std::unique_ptr<FsEventWatcher>(new FsEventWatcher(std::move(event_handler)));
}

FsEventWatcher::FsEventWatcher(SharedEventHandler event_handler)
    : event_handler_(std::move(event_handler)),
      stream_callback_(&callback),
      stream_paths_(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks)) {}

FsEventWatcher::~FsEventWatcher() {
  stop();
  stream_paths_.reset();
  event_handler_.reset();
  subtree_by_path_.clear();
}

Result<Unit, Error> FsEventWatcher::watch(std::string_view path, WatchDepth depth) {
  stop();
  auto registered = append_path(path, depth);
  // The earlier paths are observed again even when this one was refused.
  auto running = run();
  if (registered.is_err()) return registered;
  // A watch whose stream does not run would report nothing: say so.
  if (running.is_err()) return Err(std::move(running).error().add_path(Path(path)));
  return Ok();
}

Result<Unit, Error> FsEventWatcher::append_path(std::string_view path, WatchDepth depth) {
  const auto not_found = [&] { return Err(Error::path_not_found().add_path(Path(path))); };

  // A path holding a NUL cannot name anything.
  if (path.find('\0') != std::string_view::npos) return not_found();
  const std::string c_path(path);
  struct stat status;
  if (::stat(c_path.c_str(), &status) != 0) return not_found();

  const std::optional<std::string> resolved = real_path(c_path);
  if (!resolved) return Err(Error::io(IoError::last_os_error()));
  if (!is_valid_utf8(path)) panic_static("called `Option::unwrap()` on a `None` value");

  CFErrorRef conversion_error = nullptr;
  CFRef<CFStringRef> stream_path(str_path_to_cfstring_ref(path, &conversion_error));
  if (!stream_path) {
    CFRef<CFErrorRef> owned_error(conversion_error);
    return not_found();
  }
  CFArrayAppendValue(stream_paths_.get(), stream_path.get());

  const bool subtree = depth == WatchDepth::Subtree;
  auto [entry, inserted] = subtree_by_path_.try_emplace(Path(*resolved), subtree);
  if (!inserted) entry->second = subtree;
  return Ok();
}

}  // namespace vestra
