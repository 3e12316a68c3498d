// A run-once step whose other callers wait until it is done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>

namespace vestra {

/// Moves once from incomplete through running to complete. One thread runs the step; the
/// others wait on a condition variable. A step that fails, or that ends by a fatal error,
/// leaves the flag incomplete and wakes every waiter, and the next caller runs it again.
/// The flag's mutex is a leaf lock: the step runs without it.
class OnceFlag {
 public:
  OnceFlag() noexcept = default;
  /// A flag that is complete from the start.
  struct Completed {};
  explicit OnceFlag(Completed) noexcept : state_(kComplete) {}
  OnceFlag(const OnceFlag&) = delete;
  OnceFlag& operator=(const OnceFlag&) = delete;

  /// True once the step has succeeded; an acquire load, so what the step wrote is visible.
  bool is_completed() const noexcept { return state_.load(std::memory_order_acquire) == kComplete; }

  /// Runs `step` (returning true on success) unless the flag is complete, after waiting while
  /// another thread runs it. True when the flag is complete on return.
  template <class Step>
  bool call_once(Step&& step) {
    {
      std::unique_lock hold(mutex_);
      finished_.wait(hold, [this] { return state_.load(std::memory_order_relaxed) != kRunning; });
      if (state_.load(std::memory_order_relaxed) == kComplete) return true;
      state_.store(kRunning, std::memory_order_relaxed);
    }
    Finish finish(*this);
    finish.succeeded = step();
    return finish.succeeded;
  }

 private:
  static constexpr std::uint8_t kIncomplete = 0;
  static constexpr std::uint8_t kRunning = 1;
  static constexpr std::uint8_t kComplete = 2;

  /// Ends a run on every way out, a fatal error unwinding included.
  struct Finish {
    explicit Finish(OnceFlag& flag) noexcept : flag(flag) {}
    Finish(const Finish&) = delete;
    Finish& operator=(const Finish&) = delete;
    ~Finish() {
      {
        std::lock_guard hold(flag.mutex_);
        flag.state_.store(succeeded ? kComplete : kIncomplete, std::memory_order_release);
      }
      flag.finished_.notify_all();
    }
    OnceFlag& flag;
    bool succeeded = false;
  };

  std::atomic<std::uint8_t> state_{kIncomplete};
  std::mutex mutex_;
  std::condition_variable finished_;
};

}  // namespace vestra
