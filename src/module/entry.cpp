#include <Python.h>

PyMODINIT_FUNC PyInit_vestra(void) { return nullptr; }
