// A minimal logging facade: nothing is formed or written unless the level is raised.
#pragma once

#include <functional>
#include <string_view>

namespace vestra::log {

enum class Level { Off = 0, Error, Warn, Info, Debug, Trace };

/// The most detailed level that is formed; Off unless raised.
Level max_level() noexcept;
void set_max_level(Level level) noexcept;

/// Where admitted lines go; none is installed by default, so nothing is written.
using Sink = std::function<void(Level, std::string_view)>;
void set_sink(Sink sink);

/// True when a line of `level` would be formed. Callers test this before building a line.
inline bool enabled(Level level) noexcept {
  return level != Level::Off && level <= max_level();
}

/// Hands a formed line to the sink, if one is installed.
void write(Level level, std::string_view line);

}  // namespace vestra::log
