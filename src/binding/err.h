// PyErr: a Python exception carried as an error value.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "binding/err_state.h"
#include "binding/py_ref.h"
#include "support/panic.h"

namespace vestra {

/// A Python exception as the module's code carries it. Creating one does not touch the
/// interpreter: the exception object is built when the error is raised or inspected. It may
/// be moved and dropped on any thread; inspecting it needs an attached thread.
class PyErr {
 public:
  /// A lazy error from a one-shot constructor.
  explicit PyErr(std::unique_ptr<LazyConstructor> constructor);
  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;
  ~PyErr();

  /// A lazy error of `type` (a process-wide exception type such as PyExc_TypeError) whose
  /// value is a str of `message`.
  static PyErr new_err(PyObject* type, std::string message);
  /// A lazy error raising `type` with `value`, both given.
  static PyErr lazy_arguments(Py type, Py value);
  /// An error that is already the exception object `exception`.
  static PyErr normalized(Py exception);
  /// An exception instance as it is; anything else as the type of a lazy error with the
  /// value None, which raises the TypeError "exceptions must derive from BaseException".
  static PyErr from_object(PyObject* object);

  /// Takes the interpreter's current exception; none when nothing is pending. A
  /// PanicException is never returned: it is printed and resumed as a fatal error.
  static std::optional<PyErr> take();
  /// `take`, or the SystemError "attempted to fetch exception but none was set". The fetch
  /// rule: every failed C API call is followed by this.
  static PyErr fetch();

  /// Makes this the interpreter's current exception.
  void restore() &&;
  /// A new strong reference to the exception object, its traceback kept.
  Py into_value() &&;
  /// The exception object, borrowed for as long as this error lives.
  PyObject* value() const;
  /// The exception's type, borrowed like `value`.
  PyObject* type() const;
  /// The exception's __cause__, or none.
  std::optional<PyErr> cause() const;
  /// Sets __cause__ to `cause`, or clears it (and sets __suppress_context__) when none.
  void set_cause(std::optional<PyErr> cause) const;

 private:
  explicit PyErr(std::unique_ptr<PyErrState> state) noexcept : state_(std::move(state)) {}

  std::unique_ptr<PyErrState> state_;
};

/// The one-line form used inside fatal-error messages:
/// PyErr { type: <class 'TypeError'>, value: TypeError('x'), traceback: None }.
std::string text_form(const PyErr& error);

/// The fatal stop after a C API call that can fail only from memory exhaustion: the
/// interpreter prints what is pending, then "Python API call failed".
[[noreturn]] void panic_after_error(SourceLocation where = SourceLocation::current());

}  // namespace vestra
