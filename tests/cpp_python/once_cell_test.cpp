// One-time cells: one initialisation, waiting detached, retry after failure.
#include "binding/once_cell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "binding/interned.h"
#include "binding/panic_exception.h"
#include "python_test_support.h"

namespace vestra {
namespace {

using testing_support::AttachedTest;
using testing_support::panic_message;

class OnceCellTest : public AttachedTest {};

/// Starts `count` threads that each attach and run `body(index)`, while this thread waits
/// detached, and joins them.
template <class F>
void race(int count, F body) {
  SuspendAttach detached;
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&body, i] {
      AttachGuard guard = attach();
      body(i);
    });
  }
  for (auto& thread : threads) thread.join();
}

// Racing threads run the initialiser once and all see its value. The initialiser detaches
// mid-way (as creating a Python object may), so the others really do wait for it.
TEST_F(OnceCellTest, RacingThreadsInitialiseOnce) {
  static OnceCell<Py> cell;
  std::atomic<int> runs{0};
  PyObject* seen[4] = {};
  race(4, [&](int i) {
    seen[i] = init_once_cell_py_attached(cell, [&] {
                ++runs;
                {
                  SuspendAttach detached;
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                return Py::steal(PyList_New(0));
              }).get();
  });
  EXPECT_EQ(runs.load(), 1);
  for (PyObject* object : seen) EXPECT_EQ(object, seen[0]);
}

// A failing fallible initialiser hands its error back and leaves the cell for a retry.
TEST_F(OnceCellTest, FailedInitialisationIsRetried) {
  static OnceCell<Py> cell;
  auto failed = try_init_once_cell_py_attached(
      cell, []() -> Result<Py, PyErr> { return Err(PyErr::new_err(PyExc_ValueError, "not yet")); });
  ASSERT_TRUE(failed.is_err());
  EXPECT_EQ(cell.get(), nullptr);
  EXPECT_EQ(testing_support::text_of(failed.error().value()), "not yet");

  auto made = try_init_once_cell_py_attached(
      cell, []() -> Result<Py, PyErr> { return Ok(Py::steal(PyLong_FromLong(7))); });
  ASSERT_TRUE(made.is_ok());
  EXPECT_EQ(PyLong_AsLong(made.value()->get()), 7);
  EXPECT_EQ(cell.get(), made.value());
}

// A fatal error inside the initialiser leaves the cell incomplete and the thread attached.
TEST_F(OnceCellTest, FatalErrorInInitialiserLeavesTheCellIncomplete) {
  static OnceCell<Py> cell;
  const auto before = ATTACH_COUNT;
  EXPECT_EQ(panic_message([] {
              init_once_cell_py_attached(cell, []() -> Py { panic_static("initialiser failed"); });
            }),
            "initialiser failed");
  EXPECT_EQ(ATTACH_COUNT, before);
  EXPECT_EQ(cell.get(), nullptr);
  EXPECT_NE(init_once_cell_py_attached(cell, [] { return Py::steal(PyLong_FromLong(1)); }).get(),
            nullptr);
}

// Interned strings are interned str objects, the same object on every use.
TEST_F(OnceCellTest, InternedStringsAreMadeOnce) {
  PyObject* name = INTERNED.dunder_name.get();
  EXPECT_EQ(name, INTERNED.dunder_name.get());
  EXPECT_TRUE(PyUnicode_CheckExact(name));
  EXPECT_STREQ(PyUnicode_AsUTF8(name), "__name__");
}

// Two threads that first need the same interned string or the PanicException type share it.
TEST_F(OnceCellTest, ConcurrentFirstUsesShareOneObject) {
  static InternedString fresh{"vestra_fresh_interned_name"};
  PyObject* strings[4] = {};
  PyObject* types[4] = {};
  race(4, [&](int i) {
    strings[i] = fresh.get();
    types[i] = type_object_raw();
  });
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(strings[i], strings[0]);
    EXPECT_EQ(types[i], types[0]);
  }
}

}  // namespace
}  // namespace vestra
