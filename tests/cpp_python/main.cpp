// Runs the binding runtime's tests inside an embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

// The interpreter is never finalised, so everything it allocated for itself is still held
// at exit. Only allocations made inside the interpreter library are excused: a leak of the
// code under test is still reported.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libpython\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Death tests fork; re-running the binary for them would start a second interpreter.
  GTEST_FLAG_SET(death_test_style, "fast");
  Py_InitializeEx(0);
  // The interpreter is left running: process-wide cells keep their objects to the end.
  return RUN_ALL_TESTS();
}
