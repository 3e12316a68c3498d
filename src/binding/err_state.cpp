#include "binding/err_state.h"

#include "binding/attach.h"
#include "support/panic.h"

namespace vestra {

void raise_lazy(std::unique_ptr<LazyConstructor> constructor) {
  LazyOutput output = constructor->build();
  constructor.reset();
  if (PyExceptionClass_Check(output.type.get())) {
    PyErr_SetObject(output.type.get(), output.value.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

PyErrState::PyErrState(std::unique_ptr<LazyConstructor> lazy)
    : inner_(std::in_place, std::in_place_index<0>, std::move(lazy)) {}

PyErrState::PyErrState(Py exception)
    : normalized_(OnceFlag::Completed{}),
      inner_(std::in_place, std::in_place_index<1>, std::move(exception)) {}

PyObject* PyErrState::make_normalized() {
  if (normalized_.is_completed()) return normalized_value();
  {
    std::lock_guard hold(normalizing_thread_mutex_);
    if (normalizing_thread_ == std::this_thread::get_id()) {
      panic_static("Re-entrant normalization of PyErrState detected");
    }
  }
  {
    // Detached, so that a thread already normalising this error can attach and finish.
    SuspendAttach detached;
    normalized_.call_once([this] {
      set_normalizing_thread(std::this_thread::get_id());
      if (!inner_) panic_static("Cannot normalize a PyErr while already normalizing it.");
      Inner inner = std::move(*inner_);
      inner_.reset();
      Py exception;
      if (auto* lazy = std::get_if<0>(&inner)) {
        AttachGuard guard = attach();
        raise_lazy(std::move(*lazy));
        exception = Py::steal(PyErr_GetRaisedException());
        if (!exception) panic_static("exception missing after writing to the interpreter");
      } else {
        exception = std::move(std::get<1>(inner));
      }
      inner_.emplace(std::in_place_index<1>, std::move(exception));
      set_normalizing_thread(std::nullopt);
      return true;
    });
  }
  return normalized_value();
}

void PyErrState::restore() {
  if (!inner_) panic_static("PyErr state should never be invalid outside of normalization");
  Inner inner = std::move(*inner_);
  inner_.reset();
  if (auto* lazy = std::get_if<0>(&inner)) {
    raise_lazy(std::move(*lazy));
  } else {
    PyErr_SetRaisedException(std::get<1>(inner).release());
  }
}

PyObject* PyErrState::normalized_value() {
  if (!inner_ || inner_->index() != 1) panic_static("internal error: entered unreachable code");
  return std::get<1>(*inner_).get();
}

void PyErrState::set_normalizing_thread(std::optional<std::thread::id> thread) {
  std::lock_guard hold(normalizing_thread_mutex_);
  normalizing_thread_ = thread;
}

}  // namespace vestra
