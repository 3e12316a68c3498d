#include "binding/cast_error.h"

#include <string>
#include <utility>

#include "binding/text_conversion.h"
#include "binding/type_object.h"
#include "support/panic.h"

namespace vestra {

namespace {

/// What the lazy exception keeps until it is raised.
struct CastErrorArguments {
  Py from_type;
  Py target;
};

/// Appends the target as the message names it; false when a type's name cannot be had.
bool write_class_info(std::string& out, PyObject* target) {
  if (PyType_Check(target)) {
    Result<Bound, PyErr> name = qualname(reinterpret_cast<PyTypeObject*>(target));
    if (name.is_err()) return false;
    out += to_string_lossy(name.value().get());
    return true;
  }
  if (PyTuple_Check(target)) {
    const Py_ssize_t count = PyTuple_Size(target);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (i > 0) out += " | ";
      if (!write_class_info(out, PyTuple_GetItem(target, i))) return false;
    }
    return true;
  }
  python_format(out, target, str_of(target));
  return true;
}

/// "'SOURCE' object cannot be cast as 'TARGET'", composed when the error is raised.
std::string cast_message(const CastErrorArguments& arguments) {
  std::string message = "'";
  Result<Bound, PyErr> source_name =
      qualname(reinterpret_cast<PyTypeObject*>(arguments.from_type.get()));
  if (source_name.is_ok()) {
    message += to_string_lossy(source_name.value().get());
  } else {
    message += "<failed to extract type name>";
  }
  message += "' object cannot be cast as '";
  if (!write_class_info(message, arguments.target.get())) {
    panic_static(
        "a formatting trait implementation returned an error when the underlying stream did "
        "not");
  }
  message += "'";
  return message;
}

/// A lazy TypeError whose message is composed from `arguments` when it is raised.
PyErr from_arguments(CastErrorArguments arguments) {
  return PyErr(make_lazy([arguments = std::move(arguments)] {
    return LazyOutput{Py::new_ref(PyExc_TypeError), make_str(cast_message(arguments)).unbind()};
  }));
}

}  // namespace

PyErr to_pyerr(const CastError& error) {
  return from_arguments(
      {Py::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(error.source))), Py::new_ref(error.target)});
}

PyErr to_pyerr(CastIntoError error) {
  CastErrorArguments arguments{
      Py::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(error.source.get()))),
      Py::new_ref(error.target)};
  error.source.reset();
  return from_arguments(std::move(arguments));
}

}  // namespace vestra
