// A joinable, named thread whose fatal error is handed to the joiner.
#pragma once

#include <pthread.h>

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

  /// What the new thread starts from; opaque outside thread.cpp.
  struct Start;

 private:
  JoinableThread(pthread_t handle, std::shared_ptr<Start> start) noexcept;

  std::optional<pthread_t> handle_;
  std::shared_ptr<Start> start_;
};

/// Names the current thread; Linux keeps the first 15 bytes.
void set_current_thread_name(const std::string& name) noexcept;

}  // namespace vestra
