#include "binding/attach.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "binding/reference_pool.h"
#include "support/panic.h"

namespace vestra {

namespace {

/// START: set once the interpreter was seen initialised; a failed check is retried.
std::atomic<bool> START{false};
std::mutex START_MUTEX;

/// The fatal error for attaching while the count forbids it.
[[noreturn]] void bail(std::intptr_t count) {
  if (count == -1) {
    panic_static(
        "Attaching a thread to the interpreter is prohibited while a __traverse__ "
        "implementation is running.");
  }
  panic_static("Attaching a thread to the interpreter is currently prohibited.");
}

/// Embedding without initialising the interpreter first is a programming error here: the
/// module never initialises the interpreter itself.
void ensure_initialized() {
  if (START.load(std::memory_order_acquire)) return;
  std::lock_guard hold(START_MUTEX);
  if (START.load(std::memory_order_relaxed)) return;
  if (Py_IsInitialized() == 0) {
    panic_static(
        "The Python interpreter is not initialized and the `auto-initialize` feature is not "
        "enabled.\n\nConsider calling `Python::initialize()` before attempting to use Python "
        "APIs.");
  }
  START.store(true, std::memory_order_release);
}

/// True while the interpreter shuts down. CPython 3.12 has no public query for this, so
/// there an attach during shutdown is left to PyGILState_Ensure. The query joined the stable
/// ABI only in 3.13, after the version this module is built for, so it is looked up at run
/// time rather than linked.
bool interpreter_finalizing() noexcept {
  using Query = int (*)();
  static const Query query = [] {
    return Py_Version >= 0x030D0000
               ? reinterpret_cast<Query>(::dlsym(RTLD_DEFAULT, "Py_IsFinalizing"))
               : nullptr;
  }();
  return query != nullptr && query() != 0;
}

}  // namespace

AttachGuard assume() {
  if (ATTACH_COUNT < 0) bail(ATTACH_COUNT);
  ++ATTACH_COUNT;
  drain_pool_if_exists();
  return AttachGuard(std::nullopt);
}

AttachGuard attach() {
  if (ATTACH_COUNT > 0) {
    ++ATTACH_COUNT;
    drain_pool_if_exists();
    return AttachGuard(std::nullopt);
  }
  if (ATTACH_COUNT == -1) bail(ATTACH_COUNT);
  if (Py_IsInitialized() == 0) {
    ensure_initialized();
  } else if (interpreter_finalizing()) {
    panic_static("Cannot attach to the Python interpreter while it is finalizing.");
  }
  const PyGILState_STATE token = PyGILState_Ensure();
  if (ATTACH_COUNT < 0) {
    PyGILState_Release(token);
    bail(ATTACH_COUNT);
  }
  ++ATTACH_COUNT;
  drain_pool_if_exists();
  return AttachGuard(token);
}

AttachGuard::~AttachGuard() {
  if (token_) PyGILState_Release(*token_);
  --ATTACH_COUNT;
}

SuspendAttach::SuspendAttach() noexcept : saved_count_(ATTACH_COUNT) {
  ATTACH_COUNT = 0;
  state_ = PyEval_SaveThread();
}

SuspendAttach::~SuspendAttach() noexcept(false) {
  reattach();
}

VESTRA_CATCHES_FORCED_UNWIND void SuspendAttach::reattach() {
  PyThreadState* const state = std::exchange(state_, nullptr);
  if (!state) return;
  // May end the thread by a forced unwind (a daemon thread at exit): the count then stays 0.
  try {
    PyEval_RestoreThread(state);
  } catch (const ForcedUnwind&) {
    ENDED_BY_INTERPRETER = true;
    throw;
  }
  ATTACH_COUNT = saved_count_;
  drain_pool_if_exists();
}

}  // namespace vestra
