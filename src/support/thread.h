// A joinable, named thread whose fatal error is handed to the joiner.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/io_error.h"
#include "support/panic.h"
#include "support/result.h"

namespace vestra {

/// A thread that must be joined. A fatal error that ends its body is caught at the thread's
/// edge and returned by `join`.
class JoinableThread {
 public:
  /// Starts `body` on a new thread with a 2 MiB stack; the thread names itself `name`
  /// (cut to what the platform allows) before running it.
  /// `body` may be move-only; it is destroyed on the new thread when it returns.
  template <class F>
  static Result<JoinableThread, IoError> spawn(std::string name, F body) {
    auto holder = std::make_shared<F>(std::move(body));
    return spawn_function(std::move(name), [holder = std::move(holder)] { (*holder)(); });
  }
  static Result<JoinableThread, IoError> spawn_function(std::string name,
                                                        std::function<void()> body);

  JoinableThread(JoinableThread&& other) noexcept;
  JoinableThread& operator=(JoinableThread&& other) = delete;
  JoinableThread(const JoinableThread&) = delete;
  /// A thread that was never joined is joined here; its failure is dropped.
  ~JoinableThread();

  /// Waits for the thread to end; the payload of the fatal error that ended it, if any.
  std::optional<PanicPayload> join();
  /// True once the thread's body has returned or ended by a fatal error; a join then does
  /// not wait for long.
  bool is_finished() const noexcept;

  /// What the new thread starts from; opaque outside thread.cpp.
  struct Start;

 private:
  JoinableThread(pthread_t handle, std::shared_ptr<Start> start) noexcept;

  std::optional<pthread_t> handle_;
  std::shared_ptr<Start> start_;
};

/// The longest thread name the platform keeps, in bytes: 15 on Linux, 63 on macOS.
#if defined(__APPLE__)
inline constexpr std::size_t kMaxThreadNameBytes = 63;
#else
inline constexpr std::size_t kMaxThreadNameBytes = 15;
#endif

/// Names the current thread by the first kMaxThreadNameBytes bytes of `name`.
void set_current_thread_name(const std::string& name) noexcept;

}  // namespace vestra
