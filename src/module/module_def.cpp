#include "module/module_def.h"

#include <utility>

#include "binding/cast_error.h"
#include "binding/entry.h"
#include "binding/interned.h"
#include "module/watch_loop.h"

namespace vestra {

namespace {

constexpr const char* kSubinterpreterMessage =
    "vestra: single-phase extension modules like this one do not yet support "
    "subinterpreters; see https://github.com/vestra-dev/vestra/issues for progress";

/// The interface version the module declares: the stable ABI's when built against it.
#ifdef Py_LIMITED_API
constexpr int kApiVersion = PYTHON_ABI_VERSION;
#else
constexpr int kApiVersion = PYTHON_API_VERSION;
#endif

PyMethodDef RSWATCHER_METHOD = {
    "rswatcher",
    // The interpreter calls through METH_FASTCALL | METH_KEYWORDS; the slot's own type is
    // the plain form, hence the cast through a generic function pointer.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rswatcher_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "rswatcher(path, callback)\n--\n\n",
};

/// The module body: registers rswatcher.
Result<Unit, PyErr> vestra_body(PyObject* module) {
  Result<Py, PyErr> function = create_py_c_function(&RSWATCHER_METHOD, module);
  if (function.is_err()) return Err(std::move(function).error());
  return add_function(module, std::move(function).value());
}

ModuleDef VESTRA_MODULE(vestra_body, "vestra", "");

}  // namespace

ModuleDef::ModuleDef(Initializer body, const char* name, const char* doc) noexcept
    : initializer(body),
      module_def{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr} {
}

Result<Py, PyErr> make_module(ModuleDef& def) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return Err(PyErr::fetch());
  std::int64_t owner = -1;
  if (!def.interpreter.compare_exchange_strong(owner, id) && owner != id) {
    return Err(PyErr::new_err(PyExc_ImportError, kSubinterpreterMessage));
  }
  Result<const Py*, PyErr> cached =
      try_init_once_cell_py_attached(def.module, [&def]() -> Result<Py, PyErr> {
        Py module = Py::steal(PyModule_Create2(&def.module_def, kApiVersion));
        if (!module) return Err(PyErr::fetch());
        Result<Unit, PyErr> body = def.initializer(module.get());
        if (body.is_err()) return Err(std::move(body).error());
        return Ok(std::move(module));
      });
  if (cached.is_err()) return Err(std::move(cached).error());
  return Ok(cached.value()->clone_ref());
}

Result<Py, PyErr> create_py_c_function(PyMethodDef* def, PyObject* module) {
  Bound module_name = Bound::steal(PyModule_GetNameObject(module));
  if (!module_name) return Err(PyErr::fetch());
  Py function = Py::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  module_name.reset();
  if (!function) return Err(PyErr::fetch());
  return Ok(std::move(function));
}

Result<Unit, PyErr> add_function(PyObject* module, Py function) {
  Bound name = Bound::steal(PyObject_GetAttr(function.get(), INTERNED.dunder_name.get()));
  if (!name) return Err(PyErr::fetch());
  if (!PyUnicode_Check(name.get())) {
    return Err(
        to_pyerr(CastIntoError{std::move(name), reinterpret_cast<PyObject*>(&PyUnicode_Type)}));
  }
  return add(module, name.get(), function.get());
}

Result<Unit, PyErr> add(PyObject* module, PyObject* name, PyObject* value) {
  Result<Bound, PyErr> all = index(module);
  if (all.is_err()) return Err(std::move(all).error());
  if (PyList_Append(all.value().get(), name) == -1) {
    Result<Unit, PyErr> appended = Err(PyErr::fetch());
    std::move(appended).expect("could not append __name__ to __all__");
  }
  all.value().reset();
  if (PyObject_SetAttr(module, name, value) == -1) return Err(PyErr::fetch());
  return Ok();
}

Result<Bound, PyErr> index(PyObject* module) {
  Bound all = Bound::steal(PyObject_GetAttr(module, INTERNED.dunder_all.get()));
  if (all) {
    if (PyList_Check(all.get())) return Ok(std::move(all));
    return Err(to_pyerr(CastIntoError{std::move(all), reinterpret_cast<PyObject*>(&PyList_Type)}));
  }
  PyErr error = PyErr::fetch();
  if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError))
    return Err(std::move(error));
  Bound list = Bound::steal(PyList_New(0));
  if (!list) panic_after_error();
  if (PyObject_SetAttr(module, INTERNED.dunder_all.get(), list.get()) == -1) {
    return Err(PyErr::fetch());
  }
  return Ok(std::move(list));
}

PyObject* init_vestra_module() {
  return entry_boundary([]() -> EntryResult { return make_module(VESTRA_MODULE); });
}

}  // namespace vestra
