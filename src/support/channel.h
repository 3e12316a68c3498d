// An unbounded first-in first-out channel between one sending and one receiving thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "support/result.h"

namespace vestra {

/// Why a receive returned without an item.
enum class RecvTimeoutError {
  Timeout,       ///< the deadline passed with the queue empty
  Disconnected,  ///< the queue is empty and no sending end is left
};
inline std::string text_form(RecvTimeoutError e) {
  return e == RecvTimeoutError::Timeout ? "Timeout" : "Disconnected";
}

/// The receiving end of a receive without a time limit is gone: "RecvError".
struct RecvError {};
inline std::string text_form(const RecvError&) {
  return "RecvError";
}

/// A send whose receiving end is gone hands the item back.
template <class T>
struct SendError {
  T item;
};
template <class T>
std::string text_form(const SendError<T>&) {
  return "SendError { .. }";
}

namespace detail {

template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  int senders = 1;
  bool receiver_alive = true;
  bool receiver_waiting = false;
};

}  // namespace detail

template <class T>
class Sender;
template <class T>
class Receiver;

/// Creates a channel: one sending end and one receiving end.
template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(std::move(state))};
}

/// The sending end. Sending never blocks and never waits for the receiver.
template <class T>
class Sender {
 public:
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&&) = delete;
  Sender(const Sender&) = delete;
  ~Sender() {
    if (!state_) return;
    std::lock_guard hold(state_->mutex);
    if (--state_->senders == 0 && std::exchange(state_->receiver_waiting, false)) {
      state_->ready.notify_one();
    }
  }

  /// Queues `item` while the receiving end exists; otherwise hands it back.
  Result<Unit, SendError<T>> send(T item) {
    std::unique_lock hold(state_->mutex);
    if (!state_->receiver_alive) {
      hold.unlock();
      return Err(SendError<T>{std::move(item)});
    }
    state_->queue.push_back(std::move(item));
    // One wake-up per wait: later sends find the receiver already woken.
    const bool wake = std::exchange(state_->receiver_waiting, false);
    hold.unlock();
    if (wake) state_->ready.notify_one();
    return Ok();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> channel<T>();
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::ChannelState<T>> state_;
};

/// The receiving end. It takes the whole queue at once into a private batch, so a busy
/// producer and the consumer meet on the lock once per batch rather than once per item.
template <class T>
class Receiver {
 public:
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) = delete;
  Receiver(const Receiver&) = delete;
  /// Marks the channel closed for senders and destroys every item still queued.
  ~Receiver() {
    if (!state_) return;
    std::deque<T> discarded;
    {
      std::lock_guard hold(state_->mutex);
      state_->receiver_alive = false;
      discarded.swap(state_->queue);
    }
    // Items are destroyed outside the lock: their destructors may be arbitrary.
  }

  /// The oldest item; time-out once `timeout` has passed on a monotonic clock; disconnection
  /// once the queue is empty and no sender is left.
  Result<T, RecvTimeoutError> recv_timeout(std::chrono::nanoseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!batch_.empty()) return take_front();
    std::unique_lock hold(state_->mutex);
    while (true) {
      if (!state_->queue.empty()) {
        batch_.swap(state_->queue);
        hold.unlock();
        return take_front();
      }
      if (state_->senders == 0) return Err(RecvTimeoutError::Disconnected);
      if (std::chrono::steady_clock::now() >= deadline) return Err(RecvTimeoutError::Timeout);
      state_->receiver_waiting = true;
      state_->ready.wait_until(hold, deadline);
      state_->receiver_waiting = false;
    }
  }

  /// The oldest item, waiting without a time limit; an error once no sender is left.
  Result<T, RecvError> recv() {
    while (true) {
      auto item = recv_timeout(std::chrono::hours(24));
      if (item) return Ok(std::move(item).value());
      if (item.error() == RecvTimeoutError::Disconnected) return Err(RecvError{});
    }
  }

  /// True when an item can be received without waiting.
  bool has_ready() {
    if (!batch_.empty()) return true;
    std::lock_guard hold(state_->mutex);
    return !state_->queue.empty();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> channel<T>();
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  Result<T, RecvTimeoutError> take_front() {
    T item = std::move(batch_.front());
    batch_.pop_front();
    return Ok(std::move(item));
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
  std::deque<T> batch_;  // items already taken from the shared queue, oldest first
};

}  // namespace vestra
