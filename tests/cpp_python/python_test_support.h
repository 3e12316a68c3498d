// What the embedded-interpreter tests share: an attached fixture and small Python helpers.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>

#include "binding/attach.h"
#include "binding/err.h"
#include "binding/py_ref.h"
#include "support/panic.h"

namespace vestra::testing_support {

/// Each test runs as an entry would: the main thread holds the interpreter and counts itself
/// attached for the test's duration.
class AttachedTest : public ::testing::Test {
 protected:
  AttachGuard guard_ = assume();
};

/// Evaluates a Python expression (after running `setup`) in a fresh namespace.
Bound eval(const std::string& expression, const std::string& setup = "");

/// str(object) as UTF-8.
std::string text_of(PyObject* object);

/// The name of the object's type.
std::string type_name(PyObject* object);

/// The message of the fatal error that `body` raises; fails the test when it raises none.
template <class F>
std::string panic_message(F&& body) {
  try {
    std::forward<F>(body)();
  } catch (const Panic& fatal) {
    return fatal.what();
  }
  ADD_FAILURE() << "no fatal error was raised";
  return {};
}

/// Runs `body` on a new thread while this (attached) thread is detached, so that `body`
/// may attach; joins it before returning.
template <class F>
void run_on_other_thread(F&& body) {
  SuspendAttach detached;
  std::thread thread(std::forward<F>(body));
  thread.join();
}

}  // namespace vestra::testing_support
