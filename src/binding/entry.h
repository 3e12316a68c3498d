// The boundary around every function that the interpreter calls.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "binding/attach.h"
#include "binding/err.h"
#include "binding/forced_unwind.h"
#include "binding/panic_trap.h"
#include "binding/py_ref.h"
#include "support/panic.h"
#include "support/result.h"

namespace vestra {

/// What an entry's body gives back: a new reference, or the exception to raise.
using EntryResult = Result<Py, PyErr>;

/// Hands an outcome to the interpreter: the reference, or null with the exception set.
PyObject* return_outcome(EntryResult outcome);
/// Raises the PanicException of a caught fatal error; returns null.
PyObject* raise_panic(PanicPayload payload);

/// Runs `body` (returning EntryResult) as an entry the interpreter calls, attached by
/// definition. Returns a new reference, or null with the interpreter's exception set; a
/// fatal error in the body becomes PanicException. Only fatal errors are caught.
///
/// Not noexcept: at interpreter exit CPython 3.12 and 3.13 end a daemon thread that takes
/// the interpreter lock again with pthread_exit, and its forced unwind must pass through
/// every frame between that point and the interpreter. Any other exception finds no
/// handler and ends the process before anything unwinds, as a noexcept entry would.
template <class Body>
VESTRA_CATCHES_FORCED_UNWIND PyObject* entry_boundary(Body&& body) {
  PanicTrap trap("uncaught panic at ffi boundary");
  try {
    AttachGuard guard = assume();
    std::optional<EntryResult> outcome;
    std::optional<PanicPayload> panic;
    try {
      outcome.emplace(std::forward<Body>(body)());
    } catch (const Panic& fatal) {
      panic.emplace(fatal.payload());
    }
    PyObject* result = panic ? raise_panic(std::move(*panic)) : return_outcome(std::move(*outcome));
    trap.disarm();
    return result;
  } catch (const ForcedUnwind&) {
    // The interpreter is ending this thread; the frames inside released nothing of Python.
    trap.disarm();
    throw;
  } catch (const Panic&) {
    // A failure while handing the outcome over: the armed trap aborts as this returns.
  }
  return nullptr;
}

}  // namespace vestra
