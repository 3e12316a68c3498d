// A mutex that remembers a fatal error raised while it was held.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "support/result.h"

namespace vestra {

/// The error of locking a mutex whose holder was interrupted by a fatal error.
struct PoisonError {};
inline std::string text_form(const PoisonError&) {
  return "PoisonError { .. }";
}

/// A mutex guarding one value. When a fatal error unwinds through a guard, the mutex is
/// marked poisoned and every later `lock` reports it, so a half-done update is never used.
template <class T>
class PoisonMutex {
 public:
  template <class... Args>
  explicit PoisonMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  /// Holds the lock; releases it on destruction, poisoning the mutex when a fatal error
  /// is unwinding through it.
  class Guard {
   public:
    explicit Guard(PoisonMutex& owner) noexcept
        : owner_(&owner), unwinding_at_entry_(std::uncaught_exceptions()) {}
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          unwinding_at_entry_(other.unwinding_at_entry_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (!owner_) return;
      if (std::uncaught_exceptions() > unwinding_at_entry_) owner_->poisoned_ = true;
      owner_->mutex_.unlock();
    }
    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

   private:
    PoisonMutex* owner_;
    int unwinding_at_entry_;
  };

  /// Blocks until the lock is held. A poisoned mutex still locks, but reports the poison.
  Result<Guard, PoisonError> lock() {
    mutex_.lock();
    Guard guard(*this);
    if (poisoned_) return Err(PoisonError{});  // the guard unlocks on the way out
    return Ok(std::move(guard));
  }

  /// For fork handlers: held by the forking thread across fork(), then released in parent
  /// and child, so the child never inherits it held by a thread that does not exist there.
  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }

  bool is_poisoned() const noexcept {
    std::lock_guard hold(mutex_);
    return poisoned_;
  }

 private:
  mutable std::mutex mutex_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace vestra
