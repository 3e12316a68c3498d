// The text form of a PyErr, for fatal-error messages.
#include <string>
#include <utility>

#include "binding/attach.h"
#include "binding/cast_error.h"
#include "binding/err.h"
#include "binding/interned.h"
#include "binding/text_conversion.h"
#include "support/text.h"

namespace vestra {

namespace {

/// The traceback as the interpreter prints it, captured through io.StringIO.
Result<std::string, PyErr> format_traceback(PyObject* traceback) {
  Bound io = Bound::steal(PyImport_Import(INTERNED.io.get()));
  if (!io) return Err(PyErr::fetch());
  Bound string_io_type = Bound::steal(PyObject_GetAttr(io.get(), INTERNED.string_io.get()));
  if (!string_io_type) return Err(PyErr::fetch());
  Bound string_io = Bound::steal(PyObject_CallNoArgs(string_io_type.get()));
  if (!string_io) return Err(PyErr::fetch());
  if (PyTraceBack_Print(traceback, string_io.get()) == -1) return Err(PyErr::fetch());
  PyObject* self = string_io.get();
  Bound text = Bound::steal(PyObject_VectorcallMethod(INTERNED.getvalue.get(), &self,
                                                      1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!text) return Err(PyErr::fetch());
  if (!PyUnicode_Check(text.get())) {
    return Err(
        to_pyerr(CastIntoError{std::move(text), reinterpret_cast<PyObject*>(&PyUnicode_Type)}));
  }
  return Ok(to_string_lossy(text.get()));
}

/// Appends the traceback text quoted, or "<unformattable REPR>" when it cannot be had.
void write_traceback(std::string& out, PyObject* traceback) {
  Result<std::string, PyErr> text = format_traceback(traceback);
  if (text.is_ok()) {
    write_quoted(out, text.value(), QuoteStyle::Message);
    return;
  }
  std::move(text).error().restore();
  PyErr_WriteUnraisable(traceback);
  out += "<unformattable ";
  python_format(out, traceback, repr_of(traceback));
  out += ">";
}

}  // namespace

std::string text_form(const PyErr& error) {
  AttachGuard guard = attach();
  PyObject* value = error.value();
  std::string out = "PyErr { type: ";
  python_format(out, error.type(), repr_of(error.type()));
  out += ", value: ";
  python_format(out, value, repr_of(value));
  out += ", traceback: ";
  Bound traceback = Bound::steal(PyException_GetTraceback(value));
  if (traceback) {
    write_traceback(out, traceback.get());
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

}  // namespace vestra
