#include <Python.h>

#include "native/native_module.h"

PyMODINIT_FUNC PyInit__native(void) {
  return vestra::init_native_module();
}
