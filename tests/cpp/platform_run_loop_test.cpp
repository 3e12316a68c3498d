// The per-thread run loop of the Linux platform layer.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/run_loop.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using vestra::platform::RunLoop;

/// Waits, up to a bound, until `loop` says it is waiting; false if it never did.
bool wait_until_waiting(CFRunLoopRef loop, std::chrono::milliseconds bound = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!CFRunLoopIsWaiting(loop)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

/// A thread running its own loop; hands the loop back before running it.
class LoopThread {
 public:
  explicit LoopThread(std::function<void(RunLoop&)> before_run = {}) {
    std::promise<CFRunLoopRef> handoff;
    auto ready = handoff.get_future();
    thread_ = std::thread([this, &handoff, before_run] {
      CFRunLoopRef loop = CFRunLoopGetCurrent();
      if (before_run) before_run(*loop);
      handoff.set_value(loop);
      CFRunLoopRun();
      returned_ = true;
    });
    loop_ = ready.get();
  }
  ~LoopThread() {
    if (thread_.joinable()) {
      CFRunLoopStop(loop_);
      thread_.join();
    }
  }
  CFRunLoopRef loop() const { return loop_; }
  void join() { thread_.join(); }
  bool returned() const { return returned_; }

 private:
  std::thread thread_;
  CFRunLoopRef loop_ = nullptr;
  std::atomic<bool> returned_{false};
};

TEST(PlatformRunLoop, OnePerThread) {
  CFRunLoopRef here = CFRunLoopGetCurrent();
  EXPECT_EQ(CFRunLoopGetCurrent(), here);
  CFRunLoopRef there = nullptr;
  std::thread([&] { there = CFRunLoopGetCurrent(); }).join();
  EXPECT_NE(there, here);
}

TEST(PlatformRunLoop, NotWaitingBeforeItRuns) {
  EXPECT_FALSE(CFRunLoopIsWaiting(CFRunLoopGetCurrent()));
}

TEST(PlatformRunLoop, StopRightAfterRunStartsNeverHangs) {
  for (int round = 0; round < 200; ++round) {
    LoopThread thread;
    ASSERT_TRUE(wait_until_waiting(thread.loop())) << "round " << round;
    CFRunLoopStop(thread.loop());
    thread.join();
    EXPECT_TRUE(thread.returned());
  }
}

TEST(PlatformRunLoop, StopBeforeRunEndsTheNextRunAtOnce) {
  std::thread([] {
    CFRunLoopStop(CFRunLoopGetCurrent());
    CFRunLoopRun();  // returns at once
  }).join();
}

TEST(PlatformRunLoop, NotWaitingWhileRunningACallback) {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::atomic<bool> in_callback{false}, release{false};
  LoopThread thread([&](RunLoop& loop) {
    loop.add_descriptor(fd, [&] {
      std::uint64_t value;
      [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
      in_callback = true;
      while (!release) std::this_thread::yield();
      in_callback = false;
    });
  });
  ASSERT_TRUE(wait_until_waiting(thread.loop()));
  const std::uint64_t one = 1;
  ASSERT_EQ(::write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!in_callback && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(in_callback);
  EXPECT_FALSE(CFRunLoopIsWaiting(thread.loop()));
  // A stop during the callback lets it finish, then ends the run.
  CFRunLoopStop(thread.loop());
  release = true;
  thread.join();
  EXPECT_FALSE(in_callback);
  ::close(fd);
}

TEST(PlatformRunLoop, TimersFireOnceInDeadlineOrderAndCanBeCancelled) {
  std::vector<int> fired;
  std::mutex mutex;
  LoopThread thread([&](RunLoop& loop) {
    loop.add_timer(60ms, [&] {
      std::lock_guard hold(mutex);
      fired.push_back(2);
    });
    loop.add_timer(10ms, [&] {
      std::lock_guard hold(mutex);
      fired.push_back(1);
    });
    const auto cancelled = loop.add_timer(30ms, [&] {
      std::lock_guard hold(mutex);
      fired.push_back(99);
    });
    loop.cancel_timer(cancelled);
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard hold(mutex);
      if (fired.size() >= 2) break;
    }
    std::this_thread::sleep_for(5ms);
  }
  std::this_thread::sleep_for(50ms);
  std::lock_guard hold(mutex);
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

TEST(PlatformRunLoop, TimerAddedFromAnotherThreadWakesTheLoop) {
  std::atomic<bool> fired{false};
  LoopThread thread;
  ASSERT_TRUE(wait_until_waiting(thread.loop()));
  thread.loop()->add_timer(0ms, [&] { fired = true; });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!fired && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(fired);
}

TEST(PlatformRunLoop, DisabledDescriptorIsNotDispatchedUntilEnabled) {
  int fd = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);  // readable from the start
  ASSERT_GE(fd, 0);
  std::atomic<int> calls{0};
  RunLoop::SourceId id = 0;
  LoopThread thread([&](RunLoop& loop) {
    id = loop.add_descriptor(fd, [&] {
      std::uint64_t value;
      [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
      ++calls;
    });
    loop.set_descriptor_enabled(id, false);
  });
  ASSERT_TRUE(wait_until_waiting(thread.loop()));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls, 0);
  thread.loop()->set_descriptor_enabled(id, true);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (calls == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(calls, 1);
  thread.loop()->remove_descriptor(id);
  ::close(fd);
}

TEST(PlatformRunLoop, ThreadExitClosesTheLoopsDescriptors) {
  auto count = [] { return vestra::testing_support::count_entries("/proc/self/fd"); };
  const int before = count();
  for (int i = 0; i < 50; ++i) {
    std::thread([] { (void)CFRunLoopGetCurrent(); }).join();
  }
  EXPECT_EQ(count(), before);
}

}  // namespace
