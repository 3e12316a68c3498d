// The boundary around every function that the interpreter calls.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <optional>
#include <utility>

#include "binding/attach.h"
#include "binding/err.h"
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
template <class Body>
PyObject* entry_boundary(Body&& body) noexcept {
  try {
    PanicTrap trap("uncaught panic at ffi boundary");
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
  } catch (const Panic&) {
    // Unreachable: the armed trap ends the process while such an error unwinds.
  }
  std::abort();
}

}  // namespace vestra
