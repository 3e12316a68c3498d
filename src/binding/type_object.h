// Names of type objects.
#pragma once

#include <Python.h>

#include "binding/err.h"
#include "binding/py_ref.h"
#include "support/result.h"

namespace vestra {

/// The type's __name__ (PyType_GetName) as a new str.
Result<Bound, PyErr> name(PyTypeObject* type);
/// The type's __qualname__ (PyType_GetQualName) as a new str.
Result<Bound, PyErr> qualname(PyTypeObject* type);

}  // namespace vestra
