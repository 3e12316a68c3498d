#include "binding/type_object.h"

#include <utility>

namespace vestra {

namespace {

/// Takes over `result`, a new reference; null is a failure taken by the fetch rule.
Result<Bound, PyErr> checked(PyObject* result) {
  Bound text = Bound::steal(result);
  if (!text) return Err(PyErr::fetch());
  return Ok(std::move(text));
}

}  // namespace

Result<Bound, PyErr> name(PyTypeObject* type) {
  return checked(PyType_GetName(type));
}

Result<Bound, PyErr> qualname(PyTypeObject* type) {
  return checked(PyType_GetQualName(type));
}

}  // namespace vestra
