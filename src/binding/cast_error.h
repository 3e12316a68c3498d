// Errors of a value that is not of the type it had to be.
#pragma once

#include <Python.h>

#include "binding/err.h"
#include "binding/py_ref.h"

namespace vestra {

/// `source` (borrowed) failed to become `target`: a type object, a tuple of type objects, or
/// any other object that names the target.
struct CastError {
  PyObject* source;
  PyObject* target;
};

/// The same, owning the source; the reference goes once the error state is built.
struct CastIntoError {
  Bound source;
  PyObject* target;
};

/// A lazy TypeError "'SOURCE' object cannot be cast as 'TARGET'". Only the source's type and
/// the target are kept; the message is composed when the error is raised.
PyErr to_pyerr(const CastError& error);
PyErr to_pyerr(CastIntoError error);

}  // namespace vestra
