// PyErr: lazy creation, normalisation, fetch and restore, causes, and text rendering.
#include "binding/err.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "binding/panic_exception.h"
#include "binding/text_conversion.h"
#include "python_test_support.h"

namespace vestra {
namespace {

using testing_support::AttachedTest;
using testing_support::eval;
using testing_support::panic_message;
using testing_support::text_of;
using testing_support::type_name;

class ErrTest : public AttachedTest {};

/// A lazy ValueError that counts how often it was built.
PyErr counted_error(std::atomic<int>& builds) {
  return PyErr(make_lazy([&builds] {
    ++builds;
    return LazyOutput{Py::new_ref(PyExc_ValueError), make_str("counted").unbind()};
  }));
}

// Creating and dropping an error never builds its exception, on any thread.
TEST_F(ErrTest, UnraisedErrorNeverBuildsAnObject) {
  std::atomic<int> builds{0};
  { PyErr error = counted_error(builds); }
  testing_support::run_on_other_thread([&] { PyErr error = counted_error(builds); });
  EXPECT_EQ(builds.load(), 0);
}

// Two threads normalising one lazy error get one object; the constructor runs once.
TEST_F(ErrTest, ConcurrentNormalisationBuildsOnce) {
  std::atomic<int> builds{0};
  PyErr error(make_lazy([&builds] {
    ++builds;
    {
      SuspendAttach detached;  // give the other thread time to arrive and wait
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return LazyOutput{Py::new_ref(PyExc_ValueError), make_str("shared").unbind()};
  }));
  PyObject* seen[2] = {};
  {
    SuspendAttach detached;
    std::thread first([&] {
      AttachGuard guard = attach();
      seen[0] = error.value();
    });
    std::thread second([&] {
      AttachGuard guard = attach();
      seen[1] = error.value();
    });
    first.join();
    second.join();
  }
  EXPECT_EQ(builds.load(), 1);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(text_of(seen[0]), "shared");
}

// Normalising an error from inside its own constructor is detected instead of deadlocking.
TEST_F(ErrTest, ReentrantNormalisationIsFatal) {
  PyErr* self = nullptr;
  PyErr error(make_lazy([&self] {
    (void)self->value();
    return LazyOutput{Py::new_ref(PyExc_ValueError), Py::new_ref(Py_None)};
  }));
  self = &error;
  EXPECT_EQ(panic_message([&] { (void)error.value(); }),
            "Re-entrant normalization of PyErrState detected");
}

// Nothing pending: fetch gives the SystemError of the fetch rule.
TEST_F(ErrTest, FetchWithNothingPendingIsSystemError) {
  ASSERT_FALSE(PyErr::take().has_value());
  PyErr error = PyErr::fetch();
  EXPECT_EQ(error.type(), PyExc_SystemError);
  EXPECT_EQ(text_of(error.value()), "attempted to fetch exception but none was set");
}

// restore hands the very object back to the interpreter, and take takes it again.
TEST_F(ErrTest, RestoreAndTakeRoundTrip) {
  Bound exception = eval("KeyError('k')");
  PyErr::from_object(exception.get()).restore();
  ASSERT_NE(PyErr_Occurred(), nullptr);
  std::optional<PyErr> taken = PyErr::take();
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->value(), exception.get());
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

// A lazy error raises its type with its value when restored.
TEST_F(ErrTest, LazyErrorRaisesItsTypeAndValue) {
  PyErr::new_err(PyExc_OSError, "disk on fire").restore();
  PyErr error = PyErr::fetch();
  EXPECT_EQ(error.type(), PyExc_OSError);
  EXPECT_EQ(text_of(error.value()), "disk on fire");
}

// from_object of something that is no exception raises, as the interpreter would, TypeError.
TEST_F(ErrTest, NonExceptionObjectRaisesTypeError) {
  Bound number = Bound::steal(PyLong_FromLong(5));
  PyErr error = PyErr::from_object(number.get());
  EXPECT_EQ(error.type(), PyExc_TypeError);
  EXPECT_EQ(text_of(error.value()), "exceptions must derive from BaseException");
}

// A __cause__ that is no exception instance becomes an error that raises TypeError.
TEST_F(ErrTest, CauseThatIsNotAnExceptionRaisesTypeError) {
  Bound exception = eval("ValueError('outer')");
  PyException_SetCause(exception.get(), PyLong_FromLong(3));
  PyErr error = PyErr::normalized(Py::new_ref(exception.get()));
  std::optional<PyErr> cause = error.cause();
  ASSERT_TRUE(cause.has_value());
  EXPECT_EQ(cause->type(), PyExc_TypeError);
  EXPECT_EQ(text_of(cause->value()), "exceptions must derive from BaseException");
}

// set_cause sets a cause, and with none leaves __cause__ None and suppresses the context.
TEST_F(ErrTest, SetCause) {
  PyErr error = PyErr::new_err(PyExc_ValueError, "effect");
  error.set_cause(PyErr::new_err(PyExc_KeyError, "reason"));
  ASSERT_TRUE(error.cause().has_value());
  EXPECT_EQ(type_name(error.cause()->value()), "KeyError");

  PyErr plain = PyErr::new_err(PyExc_ValueError, "no cause");
  plain.set_cause(std::nullopt);
  EXPECT_FALSE(plain.cause().has_value());
  Bound suppressed = Bound::steal(PyObject_GetAttrString(plain.value(), "__suppress_context__"));
  EXPECT_EQ(suppressed.get(), Py_True);
}

// into_value gives the exception object with its traceback.
TEST_F(ErrTest, IntoValueKeepsTheTraceback) {
  Bound raised = eval("caught", "try:\n    1/0\nexcept ZeroDivisionError as e:\n    caught = e\n");
  PyErr error = PyErr::normalized(Py::new_ref(raised.get()));
  Py value = std::move(error).into_value();
  EXPECT_EQ(value.get(), raised.get());
  Bound traceback = Bound::steal(PyException_GetTraceback(value.get()));
  EXPECT_NE(traceback.get(), nullptr);
}

// The text form names the type, the value's repr and the traceback.
TEST_F(ErrTest, TextForm) {
  EXPECT_EQ(text_form(PyErr::new_err(PyExc_ValueError, "bad 'value'")),
            "PyErr { type: <class 'ValueError'>, value: ValueError(\"bad 'value'\"), "
            "traceback: None }");
  Bound raised = eval("caught", "try:\n    1/0\nexcept ZeroDivisionError as e:\n    caught = e\n");
  const std::string text = text_form(PyErr::normalized(Py::new_ref(raised.get())));
  EXPECT_EQ(text.rfind("PyErr { type: <class 'ZeroDivisionError'>, value: "
                       "ZeroDivisionError('division by zero'), traceback: \"Traceback (most "
                       "recent call last):\\n",
                       0),
            0u)
      << text;
}

// An object whose __str__ raises renders as unprintable; its error goes to the unraisable
// hook and is not left pending.
TEST_F(ErrTest, PythonFormatFallsBackForUnprintableObjects) {
  Bound object = eval("Broken()", R"(
import sys
sys.vestra_unraisable = []
sys.unraisablehook = lambda report: sys.vestra_unraisable.append(type(report.exc_value).__name__)
class Broken:
    def __str__(self):
        raise RuntimeError("no")
)");
  std::string out;
  python_format(out, object.get(), str_of(object.get()));
  EXPECT_EQ(out, "<unprintable Broken object>");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  Bound reports = eval("__import__('sys').vestra_unraisable");
  EXPECT_EQ(text_of(reports.get()), "['RuntimeError']");
  PySys_SetObject("unraisablehook", PySys_GetObject("__unraisablehook__"));
}

// A PanicException taken from the interpreter is shown under the banner and resumed.
TEST_F(ErrTest, TakenPanicExceptionIsResumed) {
  from_panic_payload(std::string("from Python")).restore();
  ::testing::internal::CaptureStderr();
  const std::string message = panic_message([] { (void)PyErr::take(); });
  const std::string stderr_text = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(message, "from Python");
  EXPECT_EQ(stderr_text.rfind("--- Zemrin is resuming a panic after fetching a PanicException "
                              "from Python. ---\nPython stack trace below:\n",
                              0),
            0u)
      << stderr_text;
  EXPECT_NE(stderr_text.find("zemrin_runtime.PanicException: from Python"), std::string::npos)
      << stderr_text;
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

// Fatal-error payloads become PanicException: text as it is, anything else as a stock text.
TEST_F(ErrTest, PanicPayloadsBecomePanicException) {
  PyErr owned = from_panic_payload(std::string("owned text"));
  PyErr borrowed = from_panic_payload("static text");
  PyErr opaque = from_panic_payload(OpaquePayload{std::make_shared<int>(4)});
  EXPECT_EQ(owned.type(), type_object_raw());
  EXPECT_EQ(text_of(owned.value()), "owned text");
  EXPECT_EQ(text_of(borrowed.value()), "static text");
  EXPECT_EQ(text_of(opaque.value()), "panic from Rust code");
  Bound args = Bound::steal(PyObject_GetAttrString(owned.value(), "args"));
  EXPECT_EQ(PyTuple_GET_SIZE(args.get()), 1);
}

// A must-not-fail call that failed prints the interpreter's error and stops.
TEST_F(ErrTest, PanicAfterError) {
  PyErr_SetString(PyExc_MemoryError, "pretend");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(panic_message([] { panic_after_error(); }), "Python API call failed");
  const std::string stderr_text = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(stderr_text.find("MemoryError: pretend"), std::string::npos) << stderr_text;
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

// Text of str objects: strict where UTF-8 exists, lossy (one U+FFFD per byte) where not.
TEST_F(ErrTest, StrConversions) {
  Bound plain = make_str("h\xc3\xa9llo");
  ASSERT_TRUE(to_str(plain.get()).is_ok());
  EXPECT_EQ(to_str(plain.get()).value(), "h\xc3\xa9llo");
  Bound surrogate = eval("'a\\ud800b'");
  Result<std::string_view, PyErr> strict = to_str(surrogate.get());
  ASSERT_TRUE(strict.is_err());
  EXPECT_EQ(type_name(strict.error().value()), "UnicodeEncodeError");
  EXPECT_EQ(to_string_lossy(surrogate.get()),
            "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
            "b");
}

}  // namespace
}  // namespace vestra
