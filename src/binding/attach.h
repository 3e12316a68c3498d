// Attachment of the current thread to the interpreter, as the module's own code counts it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <type_traits>

#include "binding/forced_unwind.h"

namespace vestra {

/// Nested attachments that the module's code holds on this thread. Positive while attached,
/// 0 when not; a negative value forbids attaching (-1 while a __traverse__ implementation
/// runs). This module never sets a negative value; it only honours one.
inline thread_local std::intptr_t ATTACH_COUNT = 0;
/// Set once the interpreter has ended this thread (pthread_exit of a daemon thread at exit)
/// and its frames unwind: the references they release are then left alone, as no thread may
/// touch them after finalisation.
inline thread_local bool ENDED_BY_INTERPRETER = false;

class AttachGuard;
/// For entries the interpreter calls, where the thread is attached by definition.
AttachGuard assume();
/// For code that may run on a thread that is not attached: attaches only when needed.
AttachGuard attach();

/// One attachment. Dropping it gives back the interpreter's token, if attaching took one, and
/// undoes the count; exactly one guard is dropped per successful attach.
class AttachGuard {
 public:
  AttachGuard(const AttachGuard&) = delete;
  AttachGuard& operator=(const AttachGuard&) = delete;
  ~AttachGuard();

  /// True when this guard attached the thread itself (and will detach it again).
  bool owns_token() const noexcept { return token_.has_value(); }

 private:
  friend AttachGuard assume();
  friend AttachGuard attach();
  explicit AttachGuard(std::optional<PyGILState_STATE> token) noexcept : token_(token) {}

  std::optional<PyGILState_STATE> token_;
};

/// Detaches the thread for the guard's lifetime, so other threads can run while this one
/// blocks; re-attaches on `reattach` or on destruction and then carries out the reference
/// releases that were deferred meanwhile. The thread must be attached.
///
/// At interpreter exit, CPython 3.12 and 3.13 end a daemon thread that re-attaches with
/// pthread_exit, whose forced unwind leaves the re-attach; the thread then stays detached
/// and marked ended, so what unwinds after it touches no object.
/// Prefer `reattach` or `detached` to the destructor, which must not throw while another
/// exception unwinds.
class SuspendAttach {
 public:
  SuspendAttach() noexcept;
  SuspendAttach(const SuspendAttach&) = delete;
  SuspendAttach& operator=(const SuspendAttach&) = delete;
  ~SuspendAttach() noexcept(false);

  /// Re-attaches now, once; later calls and the destructor do nothing.
  void reattach();

 private:
  std::intptr_t saved_count_;
  PyThreadState* state_;
};

/// Runs `body` detached and re-attaches on every way out, a fatal error included. The
/// re-attach runs outside any destructor, so the interpreter may end the thread there.
template <class Body>
VESTRA_CATCHES_FORCED_UNWIND decltype(auto) detached(Body&& body) {
  SuspendAttach suspended;
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
      std::forward<Body>(body)();
      suspended.reattach();
    } else {
      auto result = std::forward<Body>(body)();
      suspended.reattach();
      return result;
    }
  } catch (const ForcedUnwind&) {
    throw;  // the thread is ending; it must not attach again
  } catch (...) {
    suspended.reattach();
    throw;
  }
}

/// Runs `body`, interpreter code that may let go of the interpreter lock and take it back
/// (a Python call, a release that may run finalisers). When the interpreter ends the thread
/// there, the thread counts as detached and ended from then on, so the frames that unwind
/// after it touch no object.
template <class Body>
VESTRA_CATCHES_FORCED_UNWIND decltype(auto) interpreter_call(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const ForcedUnwind&) {
    ATTACH_COUNT = 0;
    ENDED_BY_INTERPRETER = true;
    throw;
  }
}

}  // namespace vestra
