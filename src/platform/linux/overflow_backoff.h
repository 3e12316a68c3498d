// When to walk the trees again after the kernel queue overflowed.
#pragma once

#include <chrono>
#include <optional>

namespace vestra::platform {

/// Paces the resyncs that overflows call for. Each resync walks every tree: under a flood
/// that overflows again and again, resyncs wait longer and longer, so that the walks do not
/// take the whole processor. A quiet spell without overflows starts the count over. The
/// caller reads the clock and passes the time in.
class OverflowBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  struct Options {
    /// Overflows in a row whose resync runs at once.
    unsigned immediate = 3;
    /// The wait of the first put-off resync; each later one waits twice as long...
    std::chrono::milliseconds first_delay{100};
    /// ...up to this.
    std::chrono::milliseconds max_delay{4000};
    /// A spell longer than this since the last overflow starts the count over.
    std::chrono::milliseconds quiet{10000};
  };

  explicit OverflowBackoff(Options options) : options_(options) {}
  OverflowBackoff() : OverflowBackoff(Options{}) {}

  /// Notes an overflow at `now`. Returns how long the resync it calls for waits (zero: it
  /// runs at once), or nothing when a put-off resync is pending already and covers it.
  std::optional<std::chrono::milliseconds> on_overflow(Clock::time_point now);
  /// Notes that a resync ran: the next overflow calls for a new one.
  void on_resync() noexcept { pending_ = false; }

 private:
  Options options_;
  unsigned streak_ = 0;  // overflows since the count last started over
  std::optional<Clock::time_point> last_;
  bool pending_ = false;
};

}  // namespace vestra::platform
