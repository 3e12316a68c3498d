// One-time cells for values bound to the interpreter, filled with the thread attached.
#pragma once

#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "binding/attach.h"
#include "binding/err.h"
#include "binding/once_flag.h"
#include "support/result.h"

namespace vestra {

/// A value set at most once and then kept until the process ends: the cell never destroys
/// it, so cells are meant to be process-wide.
template <class T>
class OnceCell {
 public:
  OnceCell() noexcept {}
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;
  ~OnceCell() {}

  /// The value once the cell is complete; null before.
  const T* get() const noexcept { return flag_.is_completed() ? &value_ : nullptr; }

 private:
  template <class U, class Init>
  friend const U& init_once_cell_py_attached(OnceCell<U>& cell, Init&& init);
  template <class U, class Init>
  friend Result<const U*, PyErr> try_init_once_cell_py_attached(OnceCell<U>& cell, Init&& init);

  OnceFlag flag_;
  union {
    T value_;
  };
};

/// The cell's value, running `init` (returning a T) once if needed. The thread must be
/// attached. It waits for another initialising thread detached, so that thread can always
/// attach; the thread that runs `init` re-attaches first, so `init` runs attached. A fatal
/// error in `init` leaves the cell incomplete and wakes the waiters.
template <class T, class Init>
const T& init_once_cell_py_attached(OnceCell<T>& cell, Init&& init) {
  if (const T* value = cell.get()) return *value;
  std::optional<SuspendAttach> detached(std::in_place);
  cell.flag_.call_once([&] {
    detached->reattach();
    ::new (static_cast<void*>(&cell.value_)) T(std::forward<Init>(init)());
    return true;
  });
  detached->reattach();
  return cell.value_;
}

/// Same, with an `init` returning Result<T, PyErr>: an error is handed back and leaves the
/// cell incomplete, so a later call tries again.
template <class T, class Init>
Result<const T*, PyErr> try_init_once_cell_py_attached(OnceCell<T>& cell, Init&& init) {
  if (const T* value = cell.get()) return Ok(value);
  std::optional<SuspendAttach> detached(std::in_place);
  std::optional<PyErr> failure;
  cell.flag_.call_once([&] {
    detached->reattach();
    Result<T, PyErr> made = std::forward<Init>(init)();
    if (made.is_err()) {
      failure.emplace(std::move(made).error());
      return false;
    }
    ::new (static_cast<void*>(&cell.value_)) T(std::move(made).value());
    return true;
  });
  detached->reattach();
  if (failure) return Err(std::move(*failure));
  return Ok(static_cast<const T*>(&cell.value_));
}

}  // namespace vestra
