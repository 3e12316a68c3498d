#include <Python.h>

#include "module/module_def.h"

PyMODINIT_FUNC PyInit_vestra(void) {
  return vestra::init_vestra_module();
}
