#include "support/log.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace vestra::log {

namespace {
std::atomic<Level> g_max_level{Level::Off};
std::mutex g_sink_mutex;
Sink g_sink;

/// The loop thread may be writing a line when another thread forks: the forking thread
/// holds the sink's lock across fork(), so the child never finds it held for ever.
[[maybe_unused]] const int g_fork_guard = ::pthread_atfork(
    [] { g_sink_mutex.lock(); }, [] { g_sink_mutex.unlock(); }, [] { g_sink_mutex.unlock(); });
}  // namespace

Level max_level() noexcept {
  return g_max_level.load(std::memory_order_relaxed);
}

void set_max_level(Level level) noexcept {
  g_max_level.store(level, std::memory_order_relaxed);
}

void set_sink(Sink sink) {
  std::lock_guard hold(g_sink_mutex);
  g_sink = std::move(sink);
}

void write(Level level, std::string_view line) {
  std::lock_guard hold(g_sink_mutex);
  if (g_sink) g_sink(level, line);
}

}  // namespace vestra::log
