// The private module vestra._native: the native core of vestra.watch.
#pragma once

#include <Python.h>

namespace vestra {

/// The body of PyInit__native: the module object, or null with the exception set.
PyObject* init_native_module();

}  // namespace vestra
