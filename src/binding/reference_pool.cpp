#include "binding/reference_pool.h"

#include <pthread.h>

#include <utility>

#include "binding/attach.h"
#include "support/panic.h"

namespace vestra {

std::atomic<ReferencePool*> POOL{nullptr};

void ReferencePool::register_decref(PyObject* object) {
  auto pending = pending_.lock().unwrap();
  pending->push_back(object);
}

void ReferencePool::drop_deferred_references() {
  std::vector<PyObject*> taken;
  {
    auto pending = pending_.lock().unwrap();
    if (pending->empty()) return;
    taken.swap(*pending);
  }
  // Outside the lock: a decrement may run finalisers that release more references.
  for (PyObject* object : taken) Py_DECREF(object);
}

void ReferencePool::guard_forks() {
  // A thread that is not attached may be queueing when another thread forks.
  const auto hold = [] { POOL.load(std::memory_order_acquire)->pending_.lock_for_fork(); };
  const auto release = [] { POOL.load(std::memory_order_acquire)->pending_.unlock_after_fork(); };
  if (::pthread_atfork(hold, release, release) != 0) panic_static("pthread_atfork failed");
}

ReferencePool& reference_pool() {
  // Never destroyed: releases may be deferred until the very end of the process.
  static ReferencePool* const created = [] {
    auto* pool = new ReferencePool();
    POOL.store(pool, std::memory_order_release);
    ReferencePool::guard_forks();
    return pool;
  }();
  return *created;
}

void drain_pool_if_exists() {
  if (ReferencePool* pool = POOL.load(std::memory_order_acquire)) {
    pool->drop_deferred_references();
  }
}

void release_reference(PyObject* object) noexcept {
  if (ATTACH_COUNT > 0) {
    Py_DECREF(object);
  } else if (!ENDED_BY_INTERPRETER) {
    reference_pool().register_decref(object);
  }
  // Otherwise left as it is: the interpreter is finalising, and a later drain (after a new
  // initialisation, say) must not touch an object of the old one.
}

}  // namespace vestra
