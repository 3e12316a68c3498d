#include "binding/extract.h"

#include <optional>
#include <utility>

#include "binding/cast_error.h"
#include "binding/text_conversion.h"

namespace vestra {

template <>
Result<std::string, PyErr> extract<std::string>(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    return Err(to_pyerr(CastError{object, reinterpret_cast<PyObject*>(&PyUnicode_Type)}));
  }
  Result<std::string_view, PyErr> text = to_str(object);
  if (text.is_err()) return Err(std::move(text).error());
  return Ok(std::string(text.value()));
}

PyErr argument_extraction_error(std::string_view parameter, PyErr error) {
  PyObject* value = error.value();
  if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
  std::string message = "argument '";
  message += parameter;
  message += "': ";
  python_format(message, value, str_of(value));
  PyErr remapped = PyErr::new_err(PyExc_TypeError, std::move(message));
  remapped.set_cause(error.cause());
  return remapped;
}

}  // namespace vestra
