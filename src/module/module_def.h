// The module `vestra`: its definition, its creation once per process, and its namespace.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/err.h"
#include "binding/once_cell.h"
#include "binding/py_ref.h"
#include "support/result.h"

namespace vestra {

/// The static definition of a single-phase module and what becomes of it in this process.
struct ModuleDef {
  /// The module body, run once on the new module object.
  using Initializer = Result<Unit, PyErr> (*)(PyObject* module);

  ModuleDef(Initializer body, const char* name, const char* doc) noexcept;
  ModuleDef(const ModuleDef&) = delete;
  ModuleDef& operator=(const ModuleDef&) = delete;

  Initializer initializer;
  PyModuleDef module_def;
  /// The id of the interpreter that first asked for the module; -1 until then.
  std::atomic<std::int64_t> interpreter{-1};
  /// The module once created, kept for the rest of the process.
  OnceCell<Py> module;
};

/// The module (a new reference): created on the first call, the same object afterwards.
/// Another interpreter of the process is refused with ImportError.
Result<Py, PyErr> make_module(ModuleDef& def);

/// A new built-in function for `def`, bound to `module`.
Result<Py, PyErr> create_py_c_function(PyMethodDef* def, PyObject* module);
/// Registers `function` under its own __name__ (and in __all__); consumes the reference.
Result<Unit, PyErr> add_function(PyObject* module, Py function);
/// Appends `name` to the module's __all__ and sets the attribute `name` to `value`.
Result<Unit, PyErr> add(PyObject* module, PyObject* name, PyObject* value);
/// The module's __all__ list, created empty when missing.
Result<Bound, PyErr> index(PyObject* module);

/// The body of PyInit_vestra: the module object, or null with the exception set.
PyObject* init_vestra_module();

}  // namespace vestra
