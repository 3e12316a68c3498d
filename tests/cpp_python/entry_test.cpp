// The entry boundary: outcomes become returns, fatal errors become PanicException, and a
// fatal error that escapes it ends the process.
#include "binding/entry.h"

#include <gtest/gtest.h>

#include "binding/panic_exception.h"
#include "python_test_support.h"

namespace vestra {
namespace {

using testing_support::text_of;

// Entries are called by the interpreter on an attached thread that the module's code has not
// counted yet; these tests call them the same way.
TEST(EntryBoundary, ValueIsReturned) {
  PyObject* result =
      entry_boundary([]() -> EntryResult { return Ok(Py::steal(PyLong_FromLong(5))); });
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(PyLong_AsLong(result), 5);
  Py_DECREF(result);
  EXPECT_EQ(ATTACH_COUNT, 0);
}

TEST(EntryBoundary, ErrorIsRestored) {
  PyObject* result = entry_boundary(
      []() -> EntryResult { return Err(PyErr::new_err(PyExc_LookupError, "not here")); });
  EXPECT_EQ(result, nullptr);
  ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_LookupError));
  Bound raised = Bound::steal(PyErr_GetRaisedException());
  EXPECT_EQ(text_of(raised.get()), "not here");
  EXPECT_EQ(ATTACH_COUNT, 0);
}

TEST(EntryBoundary, FatalErrorBecomesPanicException) {
  ::testing::internal::CaptureStderr();
  PyObject* result = entry_boundary([]() -> EntryResult {
    Py held = Py::steal(PyList_New(0));
    panic("formatted " + std::to_string(42));
  });
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, nullptr);
  Bound raised = Bound::steal(PyErr_GetRaisedException());
  ASSERT_NE(raised.get(), nullptr);
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), type_object_raw());
  EXPECT_EQ(text_of(raised.get()), "formatted 42");
  EXPECT_NE(report.find("formatted 42"), std::string::npos) << report;
  EXPECT_EQ(ATTACH_COUNT, 0);
}

TEST(EntryBoundary, OpaquePayloadBecomesStockMessage) {
  ::testing::internal::CaptureStderr();
  PyObject* result = entry_boundary(
      []() -> EntryResult { panic_with_payload(OpaquePayload{std::make_shared<int>(1)}); });
  (void)::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, nullptr);
  Bound raised = Bound::steal(PyErr_GetRaisedException());
  Bound args = Bound::steal(PyObject_GetAttrString(raised.get(), "args"));
  EXPECT_EQ(text_of(args.get()), "('panic from Rust code',)");
}

TEST(EntryBoundaryDeathTest, ArmedTrapAbortsWithItsMessage) {
  EXPECT_DEATH({ PanicTrap trap("uncaught panic at ffi boundary"); },
               "uncaught panic at ffi boundary");
}

TEST(EntryBoundaryDeathTest, DisarmedTrapIsSilent) {
  EXPECT_EXIT(
      {
        {
          PanicTrap trap("uncaught panic at ffi boundary");
          trap.disarm();
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vestra
