// Runs the binding runtime's tests inside an embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Death tests fork; re-running the binary for them would start a second interpreter.
  GTEST_FLAG_SET(death_test_style, "fast");
  // The interpreter is never finalised. On the C allocator, LeakSanitizer and valgrind see
  // every object it still holds at exit, and the pointers between them: all of it is
  // reachable, so no leak needs excusing, and one of the code under test is reported.
  PyPreConfig preconfig;
  PyPreConfig_InitPythonConfig(&preconfig);
  preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&preconfig))) return 2;
  Py_InitializeEx(0);
  // The interpreter is left running: process-wide cells keep their objects to the end.
  return RUN_ALL_TESTS();
}
