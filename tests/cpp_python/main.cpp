// Runs the binding runtime's tests inside an embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

// The interpreter is never finalised, so everything it allocated is still held at exit;
// that is not a leak of the code under test.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_options() {
  return "detect_leaks=0";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Death tests fork; re-running the binary for them would start a second interpreter.
  GTEST_FLAG_SET(death_test_style, "fast");
  Py_InitializeEx(0);
  // The interpreter is left running: process-wide cells keep their objects to the end.
  return RUN_ALL_TESTS();
}
