#include "platform/linux/run_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/cf_string.h"
#include "support/panic.h"

namespace {

/// The epoll tag of the loop's own wake-up descriptor.
constexpr __CFRunLoop::SourceId kWakeId = 0;
constexpr int kReadyBatch = 64;

/// The thread's share of its loop.
struct LoopOwner {
  __CFRunLoop* loop = nullptr;
  ~LoopOwner() {
    if (!loop) return;
    loop->shut_down();
    loop->release();
  }
};
thread_local LoopOwner current_loop;

}  // namespace

const CFStringRef kCFRunLoopDefaultMode =
    vestra::platform::make_constant_string("kCFRunLoopDefaultMode");

__CFRunLoop& __CFRunLoop::current() {
  if (!current_loop.loop) current_loop.loop = new __CFRunLoop();
  return *current_loop.loop;
}

__CFRunLoop::__CFRunLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!epoll_.valid() || !wake_.valid()) {
    failure_ = errno;
    epoll_.reset();
    wake_.reset();
    return;
  }
  epoll_event interest{};
  interest.events = EPOLLIN;
  interest.data.u64 = kWakeId;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &interest) != 0) {
    vestra::panic(std::string("run loop: cannot watch its wake-up: ") + std::strerror(errno));
  }
}

void __CFRunLoop::run() {
  std::array<epoll_event, kReadyBatch> ready;
  while (!stop_requested_.exchange(false, std::memory_order_acq_rel)) {
    const int timeout = wait_timeout_ms();
    waiting_.store(true, std::memory_order_release);
    const int count = ::epoll_wait(epoll_.get(), ready.data(), kReadyBatch, timeout);
    waiting_.store(false, std::memory_order_release);
    if (count < 0) {
      if (errno == EINTR) continue;
      return;  // shut down
    }
    for (int i = 0; i < count; ++i) {
      const SourceId id = ready[static_cast<std::size_t>(i)].data.u64;
      if (id == kWakeId) {
        std::uint64_t wakes;
        [[maybe_unused]] const ssize_t drained = ::read(wake_.get(), &wakes, sizeof wakes);
        continue;
      }
      dispatch_descriptor(id);
      if (stop_requested_.load(std::memory_order_acquire)) break;
    }
    if (!stop_requested_.load(std::memory_order_acquire)) fire_due_timers();
  }
}

void __CFRunLoop::stop() noexcept {
  stop_requested_.store(true, std::memory_order_release);
  wake();
}

void __CFRunLoop::wake() noexcept {
  std::lock_guard hold(mutex_);
  if (!wake_.valid()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

int __CFRunLoop::wait_timeout_ms() {
  std::lock_guard hold(mutex_);
  if (timers_.empty()) return -1;
  Clock::time_point earliest = timers_.front().deadline;
  for (const Timer& timer : timers_) earliest = std::min(earliest, timer.deadline);
  const auto now = Clock::now();
  if (earliest <= now) return 0;
  // Rounded up, so that a timer is never found not yet due after the wait.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(earliest - now).count();
  return static_cast<int>(std::min<long long>(wait, 24 * 3600 * 1000));
}

void __CFRunLoop::dispatch_descriptor(SourceId id) {
  std::shared_ptr<Callback> callback;
  {
    std::lock_guard hold(mutex_);
    const auto found = descriptors_.find(id);
    if (found == descriptors_.end()) return;  // removed by an earlier callback of this round
    callback = found->second.callback;
  }
  (*callback)();
}

void __CFRunLoop::fire_due_timers() {
  const auto now = Clock::now();
  while (true) {
    std::shared_ptr<Callback> callback;
    {
      std::lock_guard hold(mutex_);
      auto due = timers_.end();
      for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->deadline <= now && (due == timers_.end() || it->deadline < due->deadline)) due = it;
      }
      if (due == timers_.end()) return;
      callback = std::move(due->callback);
      timers_.erase(due);
    }
    (*callback)();
    if (stop_requested_.load(std::memory_order_acquire)) return;
  }
}

__CFRunLoop::SourceId __CFRunLoop::add_descriptor(int fd, Callback on_readable,
                                                  Readiness readiness) {
  auto callback = std::make_shared<Callback>(std::move(on_readable));
  std::lock_guard hold(mutex_);
  if (!epoll_.valid()) return 0;
  const SourceId id = next_id_++;
  epoll_event interest{};
  interest.events = readiness == Readiness::Priority ? EPOLLPRI : EPOLLIN;
  interest.data.u64 = id;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &interest) != 0) return 0;
  descriptors_.emplace(id, Descriptor{fd, std::move(callback), interest.events});
  return id;
}

void __CFRunLoop::remove_descriptor(SourceId id) noexcept {
  std::shared_ptr<Callback> dropped;  // destroyed after the lock is released
  std::lock_guard hold(mutex_);
  const auto found = descriptors_.find(id);
  if (found == descriptors_.end()) return;
  if (epoll_.valid()) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, found->second.fd, nullptr);
  dropped = std::move(found->second.callback);
  descriptors_.erase(found);
}

void __CFRunLoop::set_descriptor_enabled(SourceId id, bool enabled) noexcept {
  std::lock_guard hold(mutex_);
  const auto found = descriptors_.find(id);
  if (found == descriptors_.end() || !epoll_.valid()) return;
  epoll_event interest{};
  interest.events = enabled ? found->second.events : 0u;
  interest.data.u64 = id;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, found->second.fd, &interest);
}

__CFRunLoop::SourceId __CFRunLoop::add_timer(Clock::duration delay, Callback on_fire) {
  auto callback = std::make_shared<Callback>(std::move(on_fire));
  SourceId id;
  {
    std::lock_guard hold(mutex_);
    if (!epoll_.valid()) return 0;
    id = next_id_++;
    timers_.push_back(Timer{id, Clock::now() + delay, std::move(callback)});
  }
  wake();  // the wait in progress may end later than this timer
  return id;
}

void __CFRunLoop::cancel_timer(SourceId id) noexcept {
  std::shared_ptr<Callback> dropped;
  std::lock_guard hold(mutex_);
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->id != id) continue;
    dropped = std::move(it->callback);
    timers_.erase(it);
    return;
  }
}

void __CFRunLoop::shut_down() noexcept {
  std::unordered_map<SourceId, Descriptor> descriptors;
  std::vector<Timer> timers;
  {
    std::lock_guard hold(mutex_);
    descriptors.swap(descriptors_);
    timers.swap(timers_);
    epoll_.reset();
    wake_.reset();
  }
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
  return &__CFRunLoop::current();
}

void CFRunLoopRun(void) {
  __CFRunLoop::current().run();
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl) {
  return rl && rl->is_waiting();
}

void CFRunLoopStop(CFRunLoopRef rl) {
  if (rl) rl->stop();
}
