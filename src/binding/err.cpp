#include "binding/err.h"

#include <unistd.h>

#include <string_view>
#include <utility>

#include "binding/panic_exception.h"
#include "binding/text_conversion.h"
#include "support/panic.h"

namespace vestra {

namespace {

/// Writes `text` to descriptor 2; a failure is ignored, as there is nowhere to report it.
void write_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

/// A PanicException that came back from Python code: it is shown with its traceback under a
/// banner and continues as the fatal error it stands for, without a second report.
[[noreturn]] void print_panic_and_unwind(PyErr error, std::string message) {
  write_stderr("--- Zemrin is resuming a panic after fetching a PanicException from Python. ---\n");
  write_stderr("Python stack trace below:\n");
  std::move(error).restore();
  PyErr_PrintEx(0);
  resume_panic(std::move(message));
}

}  // namespace

PyErr::PyErr(std::unique_ptr<LazyConstructor> constructor)
    : state_(std::make_unique<PyErrState>(std::move(constructor))) {}

PyErr::~PyErr() = default;

PyErr PyErr::new_err(PyObject* type, std::string message) {
  return PyErr(make_lazy([type, message = std::move(message)] {
    return LazyOutput{Py::new_ref(type), make_str(message).unbind()};
  }));
}

PyErr PyErr::lazy_arguments(Py type, Py value) {
  return PyErr(make_lazy([type = std::move(type), value = std::move(value)]() mutable {
    return LazyOutput{std::move(type), std::move(value)};
  }));
}

PyErr PyErr::normalized(Py exception) {
  return PyErr(std::make_unique<PyErrState>(std::move(exception)));
}

PyErr PyErr::from_object(PyObject* object) {
  if (PyExceptionInstance_Check(object)) return normalized(Py::new_ref(object));
  return lazy_arguments(Py::new_ref(object), Py::new_ref(Py_None));
}

std::optional<PyErr> PyErr::take() {
  Py exception = Py::steal(PyErr_GetRaisedException());
  if (!exception) return std::nullopt;
  // Before its first use the PanicException type does not exist, so nothing can be one;
  // creating it here could re-enter its own creation, which fetches on failure.
  PyObject* panic_type = existing_panic_type_object();
  if (panic_type == nullptr ||
      Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(panic_type)) {
    return normalized(std::move(exception));
  }
  std::string message;
  if (Bound text = Bound::steal(PyObject_Str(exception.get()))) {
    message = to_string_lossy(text.get());
  } else {
    (void)fetch();
    message = "Unwrapped panic from Python code";
  }
  print_panic_and_unwind(normalized(std::move(exception)), std::move(message));
}

PyErr PyErr::fetch() {
  if (std::optional<PyErr> taken = take()) return std::move(*taken);
  return new_err(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PyErr::restore() && {
  std::unique_ptr<PyErrState> state = std::move(state_);
  state->restore();
}

Py PyErr::into_value() && {
  Py value = Py::new_ref(this->value());
  if (PyObject* traceback = PyException_GetTraceback(value.get())) {
    PyException_SetTraceback(value.get(), traceback);
    Py_DECREF(traceback);
  }
  state_.reset();
  return value;
}

PyObject* PyErr::value() const {
  return state_->make_normalized();
}

PyObject* PyErr::type() const {
  return reinterpret_cast<PyObject*>(Py_TYPE(value()));
}

std::optional<PyErr> PyErr::cause() const {
  Bound cause = Bound::steal(PyException_GetCause(value()));
  if (!cause) return std::nullopt;
  return from_object(cause.get());
}

void PyErr::set_cause(std::optional<PyErr> cause) const {
  PyObject* exception = value();
  PyException_SetCause(exception, cause ? std::move(*cause).into_value().release() : nullptr);
}

void panic_after_error(SourceLocation where) {
  PyErr_Print();
  panic_static("Python API call failed", where);
}

}  // namespace vestra
