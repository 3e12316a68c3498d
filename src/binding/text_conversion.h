// Between str objects and UTF-8 text, and the rendering of objects as text.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "binding/err.h"
#include "binding/py_ref.h"
#include "support/result.h"

namespace vestra {

/// A new str of `text` (UTF-8); a failure is the fatal stop `panic_after_error`.
Bound make_str(std::string_view text);

/// The UTF-8 text of a str object, borrowed from it (valid while it lives). A str holding
/// lone surrogates fails with the interpreter's UnicodeEncodeError.
Result<std::string_view, PyErr> to_str(PyObject* str);
/// The UTF-8 text of a str object; every byte of an encoded lone surrogate becomes U+FFFD.
/// Never fails.
std::string to_string_lossy(PyObject* str);

/// str(object) and repr(object), failures taken by the fetch rule.
Result<Bound, PyErr> str_of(PyObject* object);
Result<Bound, PyErr> repr_of(PyObject* object);

/// Appends the outcome of str() or repr() of `object`. A failed call is reported as
/// unraisable and "<unprintable TYPE object>" stands in, so composing a message never fails
/// because of the object.
void python_format(std::string& out, PyObject* object, Result<Bound, PyErr> text);

}  // namespace vestra
