// Reference-count decrements queued by threads that were not attached.
#pragma once

#include <Python.h>

#include <atomic>
#include <vector>

#include "support/poison_mutex.h"

namespace vestra {

/// Objects each owing one decrement, queued until some thread attaches.
class ReferencePool {
 public:
  /// Queues one decrement of `object`; touches nothing but the queue.
  void register_decref(PyObject* object);
  /// Carries out every queued decrement, in queue order. The thread must be attached.
  /// Decrements queued meanwhile (by finalisers, say) wait for the next drain.
  void drop_deferred_references();
  /// Keeps the queue consistent across fork(): registered once, with the pool's creation.
  static void guard_forks();

 private:
  PoisonMutex<std::vector<PyObject*>> pending_;
};

/// POOL: absent (null) until the first deferred decrement, then the one pool for the rest of
/// the process.
extern std::atomic<ReferencePool*> POOL;

/// POOL, created on first use.
ReferencePool& reference_pool();
/// Drains POOL when it exists; what every attach does.
void drain_pool_if_exists();
/// Releases one strong reference: at once when the thread is attached, otherwise queued;
/// on a thread that the interpreter ended, not at all.
void release_reference(PyObject* object) noexcept;

}  // namespace vestra
