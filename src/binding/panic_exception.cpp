#include "binding/panic_exception.h"

#include <string>
#include <string_view>
#include <variant>

#include "binding/once_cell.h"
#include "binding/text_conversion.h"

namespace vestra {

namespace {

constexpr std::string_view kPanicExceptionDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(kPanicExceptionDoc.size() == 235);

/// TYPE_OBJECT: one strong reference, never released.
OnceCell<Py> TYPE_OBJECT;

/// Creates the PanicException class; a failure is fatal and leaves the cell for a retry.
Py create_panic_exception_type() {
  Py base = Py::new_ref(PyExc_BaseException);
  Py created = Py::steal(PyErr_NewExceptionWithDoc("zemrin_runtime.PanicException",
                                                   kPanicExceptionDoc.data(), base.get(), nullptr));
  base.reset();
  if (!created) {
    Result<Py, PyErr> failed = Err(PyErr::fetch());
    return std::move(failed).expect("Failed to initialize new exception type.");
  }
  return created;
}

}  // namespace

PyObject* type_object_raw() {
  return init_once_cell_py_attached(TYPE_OBJECT, create_panic_exception_type).get();
}

PyObject* existing_panic_type_object() noexcept {
  const Py* type = TYPE_OBJECT.get();
  return type ? type->get() : nullptr;
}

PyErr from_panic_payload(PanicPayload payload) {
  std::string message;
  if (auto* owned = std::get_if<std::string>(&payload)) {
    message = std::move(*owned);
  } else if (auto* text = std::get_if<const char*>(&payload)) {
    message = *text;
  } else {
    message = "panic from Rust code";
  }
  return PyErr(make_lazy([message = std::move(message)] {
    Bound arguments = Bound::steal(PyTuple_New(1));
    if (!arguments) panic_after_error();
    if (PyTuple_SetItem(arguments.get(), 0, make_str(message).release()) == -1) {
      panic_after_error();
    }
    return LazyOutput{Py::new_ref(type_object_raw()), std::move(arguments).unbind()};
  }));
}

}  // namespace vestra
