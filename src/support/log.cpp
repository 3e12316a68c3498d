#include "support/log.h"

#include <atomic>
#include <mutex>

namespace vestra::log {

namespace {
std::atomic<Level> g_max_level{Level::Off};
std::mutex g_sink_mutex;
Sink g_sink;
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
