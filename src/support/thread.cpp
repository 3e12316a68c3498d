#include "support/thread.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vestra {

struct JoinableThread::Start {
  std::string name;
  std::function<void()> body;
  std::optional<PanicPayload> failure;
};

namespace {

constexpr std::size_t kStackSize = 2 * 1024 * 1024;

void* thread_main(void* arg) {
  // The thread owns one share of its start record until it ends.
  std::unique_ptr<std::shared_ptr<JoinableThread::Start>> owned(
      static_cast<std::shared_ptr<JoinableThread::Start>*>(arg));
  auto& start = **owned;
  set_current_thread_name(start.name);
  try {
    start.body();
  } catch (Panic& error) {
    start.failure = error.take_payload();
  }
  start.body = nullptr;  // release what the body captured on this thread
  return nullptr;
}

}  // namespace

void set_current_thread_name(const std::string& name) noexcept {
#if defined(__APPLE__)
  pthread_setname_np(name.c_str());
#else
  char truncated[16] = {};
  std::memcpy(truncated, name.data(), std::min<std::size_t>(name.size(), 15));
  pthread_setname_np(pthread_self(), truncated);
#endif
}

Result<JoinableThread, IoError> JoinableThread::spawn_function(std::string name,
                                                               std::function<void()> body) {
  auto start = std::make_shared<Start>(Start{std::move(name), std::move(body), std::nullopt});
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackSize);
  auto* arg = new std::shared_ptr<Start>(start);
  pthread_t handle;
  const int rc = pthread_create(&handle, &attr, thread_main, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    return Err(IoError(rc));
  }
  return Ok(JoinableThread(handle, std::move(start)));
}

JoinableThread::JoinableThread(pthread_t handle, std::shared_ptr<Start> start) noexcept
    : handle_(handle), start_(std::move(start)) {}

JoinableThread::JoinableThread(JoinableThread&& other) noexcept
    : handle_(std::exchange(other.handle_, std::nullopt)), start_(std::move(other.start_)) {}

JoinableThread::~JoinableThread() {
  if (handle_) (void)join();
}

std::optional<PanicPayload> JoinableThread::join() {
  if (!handle_) return std::nullopt;
  pthread_join(*handle_, nullptr);
  handle_.reset();
  return std::exchange(start_->failure, std::nullopt);
}

}  // namespace vestra
