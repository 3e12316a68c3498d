// Starts the interpreter that a fuzz target embeds, once per process.
#pragma once

#include <Python.h>

#include <cstdlib>

/// Starts the interpreter on first use. On the C allocator LeakSanitizer sees every object
/// the interpreter holds, and the pointers between them: what it keeps until exit is
/// reachable, so nothing needs excusing.
inline void start_embedded_interpreter() {
  static const bool started = [] {
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&preconfig))) std::abort();
    Py_InitializeEx(0);
    return true;
  }();
  (void)started;
}
