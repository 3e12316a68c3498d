#include "support/thread.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vestra {

struct JoinableThread::Start {
  std::string name;
  std::function<void()> body;
  std::optional<PanicPayload> failure;
  std::atomic<bool> finished{false};
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
  start.finished.store(true, std::memory_order_release);
  return nullptr;
}

}  // namespace

void set_current_thread_name(const std::string& name) noexcept {
  // Both platforms refuse a longer name outright rather than cutting it.
  char truncated[kMaxThreadNameBytes + 1] = {};
  std::memcpy(truncated, name.data(), std::min(name.size(), kMaxThreadNameBytes));
#if defined(__APPLE__)
  pthread_setname_np(truncated);
#else
  pthread_setname_np(pthread_self(), truncated);
#endif
}

Result<JoinableThread, IoError> JoinableThread::spawn_function(std::string name,
                                                               std::function<void()> body) {
  auto start = std::make_shared<Start>();
  start->name = std::move(name);
  start->body = std::move(body);
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

bool JoinableThread::is_finished() const noexcept {
  return start_ && start_->finished.load(std::memory_order_acquire);
}

std::optional<PanicPayload> JoinableThread::join() {
  if (!handle_) return std::nullopt;
  pthread_join(*handle_, nullptr);
  handle_.reset();
  return std::exchange(start_->failure, std::nullopt);
}

}  // namespace vestra
