// The per-thread run loop: readable descriptors, one-shot timers and stop requests, waited
// for in one epoll instance and dispatched on the loop's own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/linux/cf_object.h"
#include "platform/linux/file_descriptor.h"

struct __CFRunLoop final : vestra::platform::CfObject {
 public:
  using Callback = std::function<void()>;
  using Clock = std::chrono::steady_clock;
  /// Names one registered descriptor or timer of a loop; 0 names nothing.
  using SourceId = std::uint64_t;

  /// The calling thread's loop, made on first use. The thread holds one reference and, when
  /// it ends, shuts the loop down (closing its descriptors) and gives that reference up.
  static __CFRunLoop& current();

  /// Runs the loop on the calling thread, which must be the loop's own, until stop() is
  /// called. A stop requested while no run was in progress ends the next run at once.
  void run();
  /// Makes the run in progress return once the callback it is running, if any, has
  /// returned. Callable from any thread.
  void stop() noexcept;
  /// The errno that kept the loop's descriptors from being made (the process at its
  /// descriptor limit), 0 when it works. Such a loop runs nothing, and no stream starts
  /// on it.
  int failure() const noexcept { return failure_; }
  /// The loop's epoll descriptor.
  int fd() const noexcept { return epoll_.get(); }
  /// True only while the loop is blocked waiting for input; false before it runs and while
  /// it runs callbacks.
  bool is_waiting() const noexcept { return waiting_.load(std::memory_order_acquire); }

  /// What a descriptor is waited for: input, or an exceptional condition (POLLPRI), which
  /// is how some kernel files tell of a change.
  enum class Readiness : std::uint8_t { Input, Priority };

  /// Calls `on_readable` on the loop's thread whenever `fd` is ready as `readiness` says
  /// (level-triggered), until removed. The descriptor must stay open until it is removed.
  /// 0 on failure.
  SourceId add_descriptor(int fd, Callback on_readable, Readiness readiness = Readiness::Input);
  /// Stops watching a descriptor; a callback already running finishes.
  void remove_descriptor(SourceId id) noexcept;
  /// Pauses (false) or resumes (true) watching a descriptor, from any thread.
  void set_descriptor_enabled(SourceId id, bool enabled) noexcept;

  /// Calls `on_fire` once on the loop's thread after `delay` has passed. Any thread.
  SourceId add_timer(Clock::duration delay, Callback on_fire);
  /// Forgets a timer that has not fired yet.
  void cancel_timer(SourceId id) noexcept;

  /// Closes the loop's descriptors and drops every source; a later run returns at once.
  /// Called when the owning thread ends.
  void shut_down() noexcept;

 private:
  struct Descriptor {
    int fd;
    std::shared_ptr<Callback> callback;
    std::uint32_t events;  // what epoll waits for while enabled
  };
  struct Timer {
    SourceId id;
    Clock::time_point deadline;
    std::shared_ptr<Callback> callback;
  };

  __CFRunLoop();
  ~__CFRunLoop() override = default;

  void wake() noexcept;
  int wait_timeout_ms();
  void dispatch_descriptor(SourceId id);
  void fire_due_timers();

  int failure_ = 0;
  vestra::platform::FileDescriptor epoll_;
  vestra::platform::FileDescriptor wake_;
  std::atomic<bool> waiting_{false};
  std::atomic<bool> stop_requested_{false};

  // Guards the sources and the descriptors' lifetime against other threads' calls.
  std::mutex mutex_;
  SourceId next_id_ = 1;
  std::unordered_map<SourceId, Descriptor> descriptors_;
  std::vector<Timer> timers_;
};

namespace vestra::platform {
using RunLoop = __CFRunLoop;
}  // namespace vestra::platform
