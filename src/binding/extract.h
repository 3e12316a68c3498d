// Conversion of argument objects into native values, and how its failures are reported.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "binding/err.h"
#include "support/result.h"

namespace vestra {

/// The native value of `object`, or why it has none.
template <class T>
Result<T, PyErr> extract(PyObject* object);

/// An owned UTF-8 copy of a str (or a str subclass); any other object is a cast error to str,
/// a str without a UTF-8 form fails with the interpreter's UnicodeEncodeError.
template <>
Result<std::string, PyErr> extract<std::string>(PyObject* object);

/// The error of converting the argument `parameter`: a TypeError (exactly, not a subclass)
/// is re-worded as "argument 'NAME': MESSAGE" and keeps its cause; anything else is returned
/// unchanged.
PyErr argument_extraction_error(std::string_view parameter, PyErr error);

}  // namespace vestra
