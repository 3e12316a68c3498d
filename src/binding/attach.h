// Attachment of the current thread to the interpreter, as the module's own code counts it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace vestra {

/// Nested attachments that the module's code holds on this thread. Positive while attached,
/// 0 when not; a negative value forbids attaching (-1 while a __traverse__ implementation
/// runs). This module never sets a negative value; it only honours one.
inline thread_local std::intptr_t ATTACH_COUNT = 0;

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
/// blocks; re-attaches on destruction (also while a fatal error unwinds) and then carries
/// out the reference releases that were deferred meanwhile. The thread must be attached.
class SuspendAttach {
 public:
  SuspendAttach() noexcept;
  SuspendAttach(const SuspendAttach&) = delete;
  SuspendAttach& operator=(const SuspendAttach&) = delete;
  ~SuspendAttach();

 private:
  std::intptr_t saved_count_;
  PyThreadState* state_;
};

}  // namespace vestra
