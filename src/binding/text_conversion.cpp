#include "binding/text_conversion.h"

#include <utility>

#include "binding/type_object.h"
#include "support/text.h"

namespace vestra {

Bound make_str(std::string_view text) {
  Bound str =
      Bound::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) panic_after_error();
  return str;
}

Result<std::string_view, PyErr> to_str(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return Err(PyErr::fetch());
  return Ok(std::string_view(data, static_cast<std::size_t>(size)));
}

std::string to_string_lossy(PyObject* str) {
  Result<std::string_view, PyErr> text = to_str(str);
  if (text.is_ok()) return std::string(text.value());
  Bound bytes = Bound::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) panic_after_error();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) == -1) panic_after_error();
  return to_utf8_lossy(std::string_view(data, static_cast<std::size_t>(size)));
}

Result<Bound, PyErr> str_of(PyObject* object) {
  Bound text = Bound::steal(PyObject_Str(object));
  if (!text) return Err(PyErr::fetch());
  return Ok(std::move(text));
}

Result<Bound, PyErr> repr_of(PyObject* object) {
  Bound text = Bound::steal(PyObject_Repr(object));
  if (!text) return Err(PyErr::fetch());
  return Ok(std::move(text));
}

void python_format(std::string& out, PyObject* object, Result<Bound, PyErr> text) {
  if (text.is_ok()) {
    out += to_string_lossy(text.value().get());
    return;
  }
  std::move(text).error().restore();
  PyErr_WriteUnraisable(object);
  Result<Bound, PyErr> type_name = name(Py_TYPE(object));
  if (type_name.is_err()) {
    out += "<unprintable object>";
    return;
  }
  out += "<unprintable ";
  out += to_string_lossy(type_name.value().get());
  out += " object>";
}

}  // namespace vestra
