#include "python_test_support.h"

namespace vestra::testing_support {

Bound eval(const std::string& expression, const std::string& setup) {
  Bound globals = Bound::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  if (!setup.empty()) {
    Bound ran =
        Bound::steal(PyRun_String(setup.c_str(), Py_file_input, globals.get(), globals.get()));
    if (!ran) {
      PyErr_Print();
      ADD_FAILURE() << "setup failed: " << setup;
      return Bound();
    }
  }
  Bound value =
      Bound::steal(PyRun_String(expression.c_str(), Py_eval_input, globals.get(), globals.get()));
  if (!value) {
    PyErr_Print();
    ADD_FAILURE() << "evaluation failed: " << expression;
  }
  return value;
}

std::string text_of(PyObject* object) {
  Bound text = Bound::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "<str() failed>";
  }
  return PyUnicode_AsUTF8(text.get());
}

std::string type_name(PyObject* object) {
  return Py_TYPE(object)->tp_name;
}

}  // namespace vestra::testing_support
