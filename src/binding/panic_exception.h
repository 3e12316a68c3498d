// PanicException: the Python face of a fatal error, and the conversion into it.
#pragma once

#include <Python.h>

#include "binding/err.h"
#include "support/panic.h"

namespace vestra {

/// The PanicException type object (borrowed; kept for the life of the process), created on
/// first use. Derived from BaseException so that `except Exception` lets it through.
PyObject* type_object_raw();
/// The type object when it has been created; null before.
PyObject* existing_panic_type_object() noexcept;

/// A lazy PanicException whose one argument is the payload's text, or "panic from Rust code"
/// for a payload that is not text.
PyErr from_panic_payload(PanicPayload payload);

}  // namespace vestra
