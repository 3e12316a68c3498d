#include "native/watch_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "backend/watcher.h"
#include "native/batch_delivery.h"
#include "native/signal_block.h"
#include "native/watch_state.h"
#include "support/thread.h"

namespace vestra {

namespace {

constexpr const char* kTimerThreadName = "vestra batches";

/// The canonical form of `path` (which exists), as streams report paths below it.
std::string canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  return resolved ? std::string(resolved.get()) : path;
}

/// A failure for `error`, which names the process's own descriptor limit when it is
/// EMFILE (as it is for any descriptor but an inotify instance).
WatchFailure failure_of(int error, const std::string& path) {
  if (error == EMFILE) {
    return {error,
            "the process's descriptor limit was reached (too many open files); raise it with "
            "ulimit -n or close some",
            path};
  }
  return {error, std::strerror(error), path};
}

/// Refuses what cannot be watched, with the errno that says why: a missing path, a
/// directory that cannot be listed.
std::optional<WatchFailure> check_target(const WatchTarget& target) {
  const auto failure = [&](int error) { return failure_of(error, target.path); };
  if (target.path.empty() || target.path.find('\0') != std::string::npos) {
    return failure(ENOENT);
  }
  struct stat status;
  if (::stat(target.path.c_str(), &status) != 0) return failure(errno);
  if (S_ISDIR(status.st_mode)) {
    const int fd = ::open(target.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return failure(errno);
    ::close(fd);
  }
  return std::nullopt;
}

/// Why a stream did not start or not cover its trees, in terms of what to do about it.
WatchFailure start_failure(int error, const std::string& path) {
  switch (error) {
    case ENOSPC:
      return {error,
              "the inotify watch limit was reached; raise it with "
              "sysctl fs.inotify.max_user_watches=N",
              path};
    case EMFILE:
      return {error,
              "the inotify instance limit was reached; raise it with "
              "sysctl fs.inotify.max_user_instances=N",
              path};
    case 0:
      return {EIO, "the watch could not be started", path};
    default:
      return {error, std::strerror(error), path};
  }
}

}  // namespace

/// What only the owner of the watch touches, behind the lifecycle lock.
struct WatchCore::Parts {
  std::mutex lifecycle;
  WatchSettings settings;
  std::unique_ptr<FsEventWatcher> watcher;
  std::optional<JoinableThread> timer;
  bool started = false;
  bool torn_down = false;
};

Result<std::unique_ptr<WatchCore>, WatchFailure> WatchCore::create(WatchSettings settings) {
  if (settings.targets.empty()) {
    return Err(WatchFailure{EINVAL, "no path to watch", ""});
  }
  auto state = std::make_shared<WatchState>(settings.batching, settings.ignore);
  if (!state->ready.valid()) return Err(failure_of(state->ready.error(), settings.targets[0].path));
  for (const WatchTarget& target : settings.targets) {
    if (std::optional<WatchFailure> failure = check_target(target)) return Err(std::move(*failure));
    state->roots.push_back(canonical(target.path));
  }
  auto parts = std::make_unique<Parts>();
  parts->settings = std::move(settings);
  parts->watcher =
      FsEventWatcher::from_event_handler(share_event_handler(make_batching_handler(state)));
  parts->watcher->set_stream_callback(&batch_delivery_callback);
  using Polling = VestraStreamControl::Polling;
  parts->watcher->set_polling(!parts->settings.poll   ? Polling::Auto
                              : *parts->settings.poll ? Polling::Force
                                                      : Polling::Never,
                              parts->settings.poll_interval);
  if (!state->matcher.empty()) {
    parts->watcher->set_directory_filter(&WatchState::skip_directory, state.get());
  }
  return Ok(std::unique_ptr<WatchCore>(new WatchCore(std::move(state), std::move(parts))));
}

WatchCore::WatchCore(std::shared_ptr<WatchState> state, std::unique_ptr<Parts> parts)
    : state_(std::move(state)), parts_(std::move(parts)), owner_(::getpid()) {}

WatchCore::~WatchCore() {
  if (forked()) {
    (void)parts_.release();
    (void)new std::shared_ptr<WatchState>(std::move(state_));
    return;
  }
  close();
}

bool WatchCore::forked() const noexcept {
  return ::getpid() != owner_;
}

Result<Unit, WatchFailure> WatchCore::start() {
  if (forked()) return Ok();
  std::lock_guard hold(parts_->lifecycle);
  if (parts_->started || parts_->torn_down || closed()) return Ok();
  parts_->started = true;
  FsEventWatcher& watcher = *parts_->watcher;
  for (const WatchTarget& target : parts_->settings.targets) {
    Result<Unit, Error> added = watcher.append_path(
        target.path, target.recursive ? WatchDepth::Subtree : WatchDepth::DirectChildren);
    if (added.is_err()) {
      const int error = ENOENT;
      return Err(WatchFailure{error, std::strerror(error), target.path});
    }
  }
  // Neither thread takes signals: they are the interpreter's main thread's to handle.
  SignalBlock no_signals;
  const Batcher::Settings& batching = parts_->settings.batching;
  if (batching.debounce > Batcher::Clock::duration::zero() &&
      batching.max_delay > Batcher::Clock::duration::zero()) {
    auto timer = JoinableThread::spawn(kTimerThreadName, [state = state_] { state->run_timer(); });
    if (timer.is_err()) {
      const int error = timer.error().raw_os_error();
      return Err(WatchFailure{error, std::strerror(error), parts_->settings.targets[0].path});
    }
    parts_->timer.emplace(std::move(timer).value());
  }
  Result<Unit, Error> running = watcher.run();
  if (watcher.stop_requested()) return Ok();
  const int shortage = watcher.resource_error();
  if (running.is_ok() && shortage == 0) return Ok();
  const bool descriptor_limit = shortage == EMFILE && watcher.descriptor_limit();
  // A watch that could not cover its trees is no watch: nothing of it is left running.
  watcher.stop();
  if (descriptor_limit) return Err(failure_of(EMFILE, parts_->settings.targets[0].path));
  return Err(start_failure(shortage, parts_->settings.targets[0].path));
}

void WatchCore::close() {
  if (forked()) return;
  parts_->watcher->request_stop();
  {
    std::lock_guard hold(state_->mutex);
    state_->closing = true;
  }
  state_->changed.notify_all();
  state_->ready.raise();
  // Waits for a start in progress, which the stop request ends at its next directory.
  std::lock_guard hold(parts_->lifecycle);
  if (std::exchange(parts_->torn_down, true)) return;
  parts_->watcher->stop();
  if (parts_->timer) {
    if (auto failure = parts_->timer->join()) resume_panic(std::move(*failure));
    parts_->timer.reset();
  }
}

bool WatchCore::closed() const noexcept {
  if (forked()) return true;
  std::lock_guard hold(state_->mutex);
  return state_->closing;
}

int WatchCore::fileno() const noexcept {
  return state_->ready.fd();
}

std::variant<std::vector<NativeEvent>, std::optional<WatchCore::Clock::duration>, WatchCore::Closed>
WatchCore::poll_batch() {
  if (forked()) return Closed{};
  const Clock::time_point now = Clock::now();
  std::lock_guard hold(state_->mutex);
  WatchState& state = *state_;
  if (state.due || state.batcher.is_due(now)) {
    std::vector<NativeEvent> batch = state.batcher.take();
    state.due = false;
    // Once closed the descriptor stays readable.
    if (!state.closing) state.ready.clear();
    if (!batch.empty()) return batch;
  }
  if (state.closing) return Closed{};
  const std::optional<Clock::time_point> due_at = state.batcher.due_at();
  if (!due_at) return std::optional<Clock::duration>();
  return std::optional<Clock::duration>(*due_at - now);
}

std::size_t WatchCore::watch_count() const noexcept {
  if (forked()) return 0;
  return parts_->watcher->watch_count();
}

std::vector<std::array<std::string, 3>> WatchCore::coverage() const {
  std::vector<std::array<std::string, 3>> rows;
  if (closed()) return rows;
  for (VestraStreamControl::Coverage& row : parts_->watcher->coverage()) {
    rows.push_back({std::move(row.directory), std::move(row.mechanism), std::move(row.reason)});
  }
  return rows;
}

}  // namespace vestra
