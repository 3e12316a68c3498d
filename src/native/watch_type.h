// The type vestra._native.Watch over WatchCore.
#pragma once

#include <Python.h>

#include "binding/err.h"
#include "support/result.h"

namespace vestra {

/// Adds the type Watch to the module `module`.
Result<Unit, PyErr> add_watch_type(PyObject* module);

}  // namespace vestra
