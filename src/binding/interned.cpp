#include "binding/interned.h"

#include "binding/err.h"

namespace vestra {

InternedNames INTERNED;

PyObject* InternedString::get() {
  return init_once_cell_py_attached(cell_,
                                    [this] {
                                      PyObject* text = PyUnicode_FromStringAndSize(
                                          text_.data(), static_cast<Py_ssize_t>(text_.size()));
                                      if (text == nullptr) panic_after_error();
                                      PyUnicode_InternInPlace(&text);
                                      return Py::steal(text);
                                    })
      .get();
}

}  // namespace vestra
