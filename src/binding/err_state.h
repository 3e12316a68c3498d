// The state of a Python exception carried as a value: lazy until first needed, then
// normalised into the exception object once, even when several threads ask at once.
#pragma once

#include <Python.h>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

#include "binding/once_flag.h"
#include "binding/py_ref.h"

namespace vestra {

/// What a lazy constructor gives: new references to the exception type and to the value.
struct LazyOutput {
  Py type;
  Py value;
};

/// A one-shot exception constructor. It runs at most once, attached; whatever it captured is
/// released with it, also when it never runs.
class LazyConstructor {
 public:
  virtual ~LazyConstructor() = default;
  virtual LazyOutput build() = 0;
};

template <class F>
class LazyFunction final : public LazyConstructor {
 public:
  explicit LazyFunction(F function) : function_(std::move(function)) {}
  LazyOutput build() override { return function_(); }

 private:
  F function_;
};

/// Boxes `function` (returning LazyOutput) as a lazy constructor.
template <class F>
std::unique_ptr<LazyConstructor> make_lazy(F function) {
  return std::make_unique<LazyFunction<F>>(std::move(function));
}

/// Runs `constructor` and makes its result the interpreter's current exception; a type that
/// is not an exception class becomes the TypeError "exceptions must derive from
/// BaseException". The thread must be attached.
void raise_lazy(std::unique_ptr<LazyConstructor> constructor);

/// A lazy or normalised exception, boxed by PyErr so that its address stays put while other
/// threads wait on its normalisation.
class PyErrState {
 public:
  explicit PyErrState(std::unique_ptr<LazyConstructor> lazy);
  /// An already normalised state; its flag is complete from the start.
  explicit PyErrState(Py exception);
  PyErrState(const PyErrState&) = delete;
  PyErrState& operator=(const PyErrState&) = delete;

  /// The exception object (borrowed, alive as long as the state), normalising first when
  /// needed. The thread must be attached; it detaches while it waits for another thread.
  PyObject* make_normalized();
  /// Makes the state the interpreter's current exception; the state is spent afterwards.
  void restore();

 private:
  using Inner = std::variant<std::unique_ptr<LazyConstructor>, Py>;

  /// The normalised exception object; anything else here is an internal error.
  PyObject* normalized_value();
  /// Records (or clears) the thread that runs the normalisation.
  void set_normalizing_thread(std::optional<std::thread::id> thread);

  OnceFlag normalized_;
  std::mutex normalizing_thread_mutex_;
  std::optional<std::thread::id> normalizing_thread_;
  /// Absent only while a normalisation runs (or once the state is spent).
  std::optional<Inner> inner_;
};

}  // namespace vestra
